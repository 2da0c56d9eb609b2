#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: Kelvane Systems
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: quillon_history
short_description: Read the host's history of Quillon runs
description:
  - Reads C(pxtool history --format json) on the host, the runs of Quillon recorded in its
    history database (C(/var/lib/quillon/history.db)), and returns them. Never changes
    anything.
  - By default the runs (oldest first), selected by O(package), O(since) and O(last); with
    O(commands) the lines one run took; with O(pending) the packages a resume after reboot
    would run again.
version_added: 1.3.0
author: Kelvane Systems (@kelvane)
options:
  package:
    description: Only the runs of this package directory or argument file on the host.
    type: path
  since:
    description:
      - Only the runs started at or after this time, C(YYYY-MM-DD[THH:MM[:SS]]) with an
        optional C(Z) or C(+HH:MM) offset (UTC without), or C(@SECONDS).
    type: str
  last:
    description: Only the newest N runs (of those selected).
    type: int
  commands:
    description: The number of a run (its C(id)); returns the lines it took instead of runs.
    type: int
  pending:
    description: Return the packages a resume would run again instead of runs.
    type: bool
    default: false
attributes:
  check_mode:
    support: full
extends_documentation_fragment:
  - kelvane.quillon.pxtool
seealso:
  - module: kelvane.quillon.quillon_status
  - module: kelvane.quillon.quillon_run
'''

EXAMPLES = r'''
- name: The last ten runs on each host
  kelvane.quillon.quillon_history:
    last: 10
  register: history

- name: What a resume would run again
  kelvane.quillon.quillon_history:
    pending: true
  register: pending
'''

RETURN = r'''
history:
  description: The whole pxtool.history document (schema version 1).
  returned: always
  type: dict
runs:
  description: The runs, oldest first; each with id, argument_file, mode, started, ended, state,
    verdict, final_code, reboot, signer and more (see the collection's README).
  returned: unless O(commands) or O(pending)
  type: list
  elements: dict
commands:
  description: The lines run O(commands) took, with line, text, return_code and verdict.
  returned: when O(commands)
  type: list
  elements: dict
pending:
  description: The packages a resume would run again, each a run with reason and resumable.
  returned: when O(pending)
  type: list
  elements: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kelvane.quillon.plugins.module_utils import quillon as q


def main():
    module = AnsibleModule(
        argument_spec=dict(
            package=dict(type='path'),
            since=dict(type='str'),
            last=dict(type='int'),
            commands=dict(type='int'),
            pending=dict(type='bool', default=False),
            pxtool_path=dict(type='path'),
        ),
        mutually_exclusive=[('commands', 'pending')],
        supports_check_mode=True,
    )
    p = module.params
    try:
        pxtool = q.find_program(module.get_bin_path, 'pxtool', p['pxtool_path'], q.PXTOOL_DIRS)
        rc, out, err = module.run_command(q.history_argv(
            pxtool, package=p['package'], since=p['since'], last=p['last'],
            commands=p['commands'], pending=p['pending']))
        history = q.parse_history(rc, out, err)
    except q.QuillonError as e:
        module.fail_json(msg=str(e))
    result = dict(changed=False, history=history)
    for key in ('runs', 'commands', 'pending'):
        if key in history:
            result[key] = history[key]
    module.exit_json(**result)


if __name__ == '__main__':
    main()
