#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: Kelvane Systems
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: quillon_status
short_description: Read the state of an update package on the host
description:
  - Reads C(pxtool status --format json) for a package on the host and returns its state,
    the decoded final code of its last run, whether a reboot is due and where the next run
    would resume. Never changes anything.
  - With C(plan=true) also returns what a run in C(mode) would do (C(pxtool plan --format json)).
version_added: 1.0.0
author: Kelvane Systems (@kelvane)
options:
  package_dir:
    description: The package directory on the host (Quillon's working directory).
    type: path
    required: true
  argument_file:
    description:
      - The argument file, relative to C(package_dir) or absolute.
      - When left out, chosen as M(kelvane.quillon.quillon_run) chooses it, as Quillon does when
        given no argument file, C(px.arg) in C(package_dir) (local mode), else C(pkg/px.arg).
    type: str
  plan:
    description: Also return the plan of a run in C(mode).
    type: bool
    default: false
  mode:
    description: The mode of the plan (C(plan=true) only).
    type: str
    choices: [force, update, expert]
    default: force
attributes:
  check_mode:
    support: full
extends_documentation_fragment:
  - kelvane.quillon.pxtool
seealso:
  - module: kelvane.quillon.quillon_run
'''

EXAMPLES = r'''
- name: Where is the BIOS package?
  kelvane.quillon.quillon_status:
    package_dir: /srv/updates/bios-2.4
  register: bios

- name: Show it
  ansible.builtin.debug:
    msg: "{{ bios.state }}, resume at line {{ bios.resume_line }}"
'''

RETURN = r'''
state:
  description: C(not_started), C(running), C(reboot_requested), C(interrupted) or C(finished).
  returned: always
  type: str
  sample: interrupted
success:
  description: Whether the package finished with success; null while it is not finished.
  returned: always
  type: bool
reboot_required:
  description: Whether a reboot is due.
  returned: always
  type: bool
final_code:
  description: The decoded final code of the last run; null before any run.
  returned: always
  type: dict
resume_line:
  description: The argument-file line the next run starts with; null when nothing is pending.
  returned: always
  type: int
progress:
  description: The progress through the section the last run used.
  returned: always
  type: dict
status:
  description: The whole pxtool.status document.
  returned: always
  type: dict
plan:
  description: The pxtool.plan document.
  returned: when C(plan=true)
  type: dict
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kelvane.quillon.plugins.module_utils import quillon as q


def main():
    module = AnsibleModule(
        argument_spec=dict(
            package_dir=dict(type='path', required=True),
            argument_file=dict(type='str'),
            pxtool_path=dict(type='path'),
            plan=dict(type='bool', default=False),
            mode=dict(type='str', default='force', choices=list(q.MODE_OPTIONS)),
        ),
        supports_check_mode=True,
    )
    p = module.params
    package_dir = os.path.abspath(p['package_dir'])
    layout, argument_file = q.choose_layout(package_dir, p['argument_file'])
    if argument_file is None:
        layout, argument_file = 'classic', q.CLASSIC_ARGUMENT_FILE
    try:
        pxtool = q.find_program(module.get_bin_path, 'pxtool', p['pxtool_path'], q.PXTOOL_DIRS)
        rc, out, err = module.run_command(q.status_argv(pxtool, package_dir, argument_file))
        status = q.parse_status(rc, out, err)
        result = dict(changed=False, status=status, **q.summary(status))
        if p['plan']:
            argv = q.plan_argv(pxtool, package_dir, argument_file, q.run_options(p['mode']),
                               layout)
            rc, out, err = module.run_command(argv)
            result['plan'] = q.parse_plan(rc, out, err)
    except q.QuillonError as e:
        module.fail_json(msg=str(e))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
