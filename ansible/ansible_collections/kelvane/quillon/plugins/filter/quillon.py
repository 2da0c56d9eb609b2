# -*- coding: utf-8 -*-
# Copyright: Kelvane Systems
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""quillon_outcome: one host's result of a quillon_run task, as the fleet summary shows it."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
name: quillon_outcome
short_description: A host's outcome of a quillon_run task, for a fleet summary
version_added: 1.0.0
author: Kelvane Systems (@kelvane)
description:
  - Reduces a registered result of M(kelvane.quillon.quillon_run) to the few fields a summary
    of many hosts shows.
options:
  _input:
    description: The registered result.
    type: dict
    required: true
  reboots:
    description: How many reboots the play did for the package.
    type: int
    default: 0
  earlier_commands:
    description: How many commands earlier runs of the same play ran (before its reboots).
    type: int
    default: 0
'''

EXAMPLES = r'''
- name: Record the outcome
  ansible.builtin.set_fact:
    outcome: "{{ run_result | kelvane.quillon.quillon_outcome(1) }}"
'''

RETURN = r'''
_value:
  description: C(state), C(success), C(reboot_required), C(final_code) (hex), C(verdict), C(reboots),
    C(commands_run), C(resume_line), C(changed), C(failed) and C(msg).
  type: dict
'''


def quillon_outcome(result, reboots=0, earlier_commands=0):
    result = result or {}
    code = result.get('final_code') or {}
    return {
        'state': result.get('state'),
        'success': result.get('success'),
        'reboot_required': bool(result.get('reboot_required')),
        'final_code': code.get('hex'),
        'verdict': code.get('verdict'),
        'reboots': int(reboots or 0),
        'commands_run': int(earlier_commands or 0) + len(result.get('commands') or []),
        'resume_line': result.get('resume_line'),
        'changed': bool(result.get('changed')),
        'failed': bool(result.get('failed')),
        'msg': result.get('msg', ''),
    }


class FilterModule(object):
    def filters(self):
        return {'quillon_outcome': quillon_outcome}
