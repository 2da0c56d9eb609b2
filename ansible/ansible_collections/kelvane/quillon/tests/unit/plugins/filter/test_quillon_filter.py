# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function
__metaclass__ = type

from ansible_collections.kelvane.quillon.plugins.filter.quillon import quillon_outcome


def test_outcome_of_a_failed_task():
    result = {'failed': True, 'changed': True, 'msg': 'the package failed', 'state': 'finished',
              'success': False, 'final_code': {'hex': '0x2', 'verdict': 'aborted'},
              'commands': [{'line': 5}], 'resume_line': 6}
    outcome = quillon_outcome(result, '1', 2)
    assert outcome['verdict'] == 'aborted' and outcome['final_code'] == '0x2'
    assert outcome['reboots'] == 1 and outcome['commands_run'] == 3 and outcome['failed']
    assert quillon_outcome(None)['state'] is None
