# -*- coding: utf-8 -*-
# Copyright: Kelvane Systems
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
name: quillon_summary
type: aggregate
short_description: One line per host with the last result of kelvane.quillon.quillon_run
version_added: 1.0.0
author: Kelvane Systems (@kelvane)
description:
  - At the end of the playbook run, prints each host's last C(quillon_run) result (state, final
    code, verdict and the failure message). Printed also when C(max_fail_percentage) stopped
    the roll-out, when later plays (such as a summary play) no longer run.
  - Enable it with C(ANSIBLE_CALLBACKS_ENABLED=kelvane.quillon.quillon_summary) or
    C(callbacks_enabled) in ansible.cfg.
requirements:
  - enable in configuration
'''

from ansible.plugins.callback import CallbackBase

from ansible_collections.kelvane.quillon.plugins.filter.quillon import quillon_outcome

MODULES = ('kelvane.quillon.quillon_run', 'quillon_run')


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'kelvane.quillon.quillon_summary'
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.outcomes = {}

    def _note(self, result, failed):
        if result._task.action in MODULES:
            outcome = quillon_outcome(result._result)
            outcome['failed'] = failed
            self.outcomes[result._host.get_name()] = outcome

    def v2_runner_on_ok(self, result):
        self._note(result, False)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._note(result, True)

    def v2_runner_on_unreachable(self, result):
        self.outcomes[result._host.get_name()] = {'state': 'unreachable', 'failed': True,
                                                   'msg': result._result.get('msg', '')}

    def v2_playbook_on_stats(self, stats):
        if not self.outcomes:
            return
        self._display.banner('QUILLON SUMMARY')
        for host in sorted(self.outcomes):
            o = self.outcomes[host]
            line = '%s: %s' % (host, o.get('state'))
            if o.get('final_code'):
                line += ' %s %s' % (o['final_code'], o.get('verdict'))
            if o.get('reboot_required'):
                line += ', reboot due'
            if o.get('failed'):
                line += ' FAILED: %s' % o.get('msg', '')
            self._display.display(line)
