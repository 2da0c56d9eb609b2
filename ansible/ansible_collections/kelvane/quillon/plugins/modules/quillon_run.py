#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: Kelvane Systems
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: quillon_run
short_description: Run an update package on the host with Quillon, resuming where it stopped
description:
  - Runs an unpacked update package that is already on the host with Quillon, in classic
    mode (C(Quillon PACKAGE_DIR ARGUMENT_FILE MODE_OPTIONS)) or, for a package with C(px.arg)
    in its directory and no C(argument_file), in local mode (C(Quillon PACKAGE_DIR)), as
    Quillon itself does when it is given no argument file.
  - Idempotent. Quillon marks every command line in the argument file before it starts it,
    so a package whose lines are all taken up reports C(ok) and is not run again. A run that
    ended for a reboot, or was cut off by a crash or a lost connection, is resumed behind
    its marked lines by the next call.
  - Before and after the run the module reads C(pxtool status --format json) and returns
    what the package's state is, what the final code means and which commands this call ran.
  - One module call reads the status, makes the plan, runs Quillon and reads the status
    again, so that a task costs one module start on the host.
  - In check mode it returns the plan of the run (C(pxtool plan --format json)) and changes
    nothing; C(reboot_required) then tells whether the planned run ends with a reboot due (a
    delayed reboot, or a reboot request).
  - While the last run's reboot (a reboot request, or a delayed reboot after a finished run)
    has not happened, it runs nothing and fails naming the pending reboot, or with
    C(on_reboot_pending=report) returns C(reboot_pending=true) for the play to reboot (the role
    does so).
  - By default Quillon is started with C(-n), so it never reboots the host itself; when a
    reboot is due the result says C(reboot_required=true) and the playbook reboots the host
    (for example with M(ansible.builtin.reboot)) and calls the module again with
    C(after_reboot=true).
  - Fails, without starting anything, when an external value holds a shell character (see
    C(allow_shell_characters)).
  - Fails, without starting anything, while another run of Quillon holds the package; fails
    when the run ends with an abort, a handler error or another failure, naming the command
    and its return code; and fails again on later calls while the package's recorded result
    is the package's own failure verdict (an abort, for example), unless C(resume_after_failure=true).
version_added: 1.0.0
author: Kelvane Systems (@kelvane)
options:
  package_dir:
    description:
      - The package directory on the host, Quillon's working directory (its run log
        C(Quillon.log) is written there).
    type: path
    required: true
  argument_file:
    description:
      - The argument file, relative to C(package_dir) or absolute; the run is in classic mode
        and package files are staged into the file's directory.
      - When left out, the module does what Quillon does when given no argument file. With
        C(px.arg) in C(package_dir) it runs that in local mode (C(Quillon PACKAGE_DIR), with no mode
        option, no external values, reboots always suppressed, nothing staged; the module fails
        when such options are set). Without it, C(pkg/px.arg) (the example package's layout)
        is run in classic mode. The choice is returned as C(layout) and C(argument_file).
    type: str
  mode:
    description:
      - The command section to run. C(force) runs C([Commands]), C(update) C([UpdCommands]),
        C(expert) C([ExpCommands]) (falling back to C([Commands])).
    type: str
    choices: [force, update, expert]
    default: force
  external_variable:
    description:
      - The value of C(!{EXTVAR}) in commands (C(-external-variable)).
      - Refused when it holds a shell character, unless C(allow_shell_characters=true).
    type: str
  reset:
    description:
      - The value of C(!{RESET}) in commands (C(-reset)).
      - Refused when it holds a shell character, unless C(allow_shell_characters=true).
    type: str
  external_parameter:
    description:
      - The value of C(!{PARAM}) in commands (C(-external-parameter)).
      - Refused when it holds a shell character, unless C(allow_shell_characters=true).
    type: str
  allow_shell_characters:
    description:
      - Pass C(external_variable), C(reset) and C(external_parameter) to Quillon even when
        they hold a shell character, that is a dollar sign, a backquote, a backslash, C(;),
        C(|), C(&), C(<), C(>) or a newline.
      - Quillon puts each value into the command line in place of its placeholder as it is,
        unquoted, and runs the line through the shell as root, so a value from an inventory
        or a play such as C(x;id) would run commands of its own there. By default the module
        fails on such a value and starts nothing. Set this only for a package whose commands
        quote the placeholder, and for values you trust.
    type: bool
    default: false
    version_added: 1.1.0
  quillon_path:
    description:
      - The Quillon program. Default C(Quillon) found on PATH, then in C(/usr/sbin) and
        C(/usr/local/sbin).
    type: path
  allow_reboot:
    description:
      - Let Quillon reboot the host itself when a reboot flag fires (no C(-n)). The
        connection is then lost in the middle of the task; leave it C(false) and let the
        playbook reboot.
    type: bool
    default: false
  after_reboot:
    description:
      - The host was rebooted since the last run asked for a reboot, so that request is
        done and the run goes on. Without it the module also takes a boot after the
        status file was written as that reboot. While a requested reboot has not
        happened the module runs nothing and returns C(reboot_required=true) again.
    type: bool
    default: false
  on_reboot_pending:
    description:
      - What to do while a reboot the last run asked for has not happened (the run's reboot
        request, or the delayed reboot of a run that finished, and no boot since its status
        file was written).
      - C(fail) fails the task naming the pending reboot and what to do (reboot the host, then
        run again); nothing is run.
      - C(report) runs nothing and returns C(reboot_pending=true) and C(reboot_required=true),
        with a warning; the play is expected to reboot and call the module again with
        C(after_reboot=true). The role M(kelvane.quillon.quillon_package) uses this.
    type: str
    choices: [fail, report]
    default: fail
    version_added: 1.2.0
  resume_after_failure:
    description:
      - When the package's last run failed with a verdict of the package (for example a
        command was aborted by its flags), run it again; Quillon resumes behind the failed
        command's line. By default the module fails again with the recorded reason and runs
        nothing.
      - A run that failed for reasons outside the package (a handler error, such as a
        signal when the session was lost, or out of memory) is always run again.
    type: bool
    default: false
attributes:
  check_mode:
    support: full
    description: Returns the plan and the status; starts nothing.
extends_documentation_fragment:
  - kelvane.quillon.pxtool
notes:
  - Needs C(pxtool) with the C(status) and C(plan) subcommands (JSON schema version 1).
  - Quillon normally runs as root; use C(become).
seealso:
  - module: kelvane.quillon.quillon_status
  - module: ansible.builtin.reboot
'''

EXAMPLES = r'''
- name: Run the BIOS update package, never letting Quillon reboot by itself
  kelvane.quillon.quillon_run:
    package_dir: /srv/updates/bios-2.4
    argument_file: pkg/px.arg
    mode: update
  register: bios

- name: Reboot when the package asks for it
  ansible.builtin.reboot:
  when: bios.reboot_required

- name: Go on behind the marked lines after the reboot
  kelvane.quillon.quillon_run:
    package_dir: /srv/updates/bios-2.4
    mode: update
    after_reboot: true
  when: bios.reboot_required
'''

RETURN = r'''
state:
  description: The package's state after the call (pxtool.status C(state)).
  returned: always
  type: str
  sample: finished
success:
  description: Whether the package finished with success; null while it is not finished.
  returned: always
  type: bool
reboot_required:
  description:
    - Whether a reboot is due (requested by a reboot flag, or a delayed reboot).
    - In check mode, when a run is due, whether the planned run ends with a reboot due (the
      plan's C(end) has C(delayed_reboot), or a reboot request stops it).
  returned: always
  type: bool
reboot_pending:
  description: The last run's reboot has not happened, so nothing was run (see
    C(on_reboot_pending)).
  returned: always
  type: bool
layout:
  description: How Quillon is started, C(local) (C(px.arg) in the package directory) or
    C(classic); null when no argument file was found.
  returned: always
  type: str
argument_file:
  description: The argument file run, relative to C(package_dir) or absolute (the one given,
    or the one found, see C(argument_file)).
  returned: always
  type: str
output_tail:
  description: The last lines of the failed command's output, as C(pxtool status) reports
    them (its C(output_tail)); only when the run failed and pxtool provides them.
  returned: on a failure, when pxtool status provides C(output_tail)
  type: list
  elements: str
final_code:
  description: The decoded final code (pxtool.status C(final_code)); null before any run.
  returned: always
  type: dict
  sample: {"value": 2, "hex": "0x2", "verdict": "aborted", "description": "a command was aborted by its flags", "delayed_reboot": false, "condition": null}
resume_line:
  description: The argument-file line the next run starts with; null when nothing is pending.
  returned: always
  type: int
progress:
  description: The progress through the section (pxtool.status C(progress)).
  returned: always
  type: dict
commands:
  description: The command lines this call ran, in order, with their return codes (null
    when the command was killed). Flags lines are not listed.
  returned: always
  type: list
  elements: dict
  sample: [{"line": 6, "text": "sh check.sh", "return_code": 0, "skipped": false}]
exit_status:
  description:
    - Quillon's exit status (the low 8 bits of its return code; read C(final_code) for the
      whole code); null when it was not started. Not called C(rc), so that Ansible does not
      take a reboot request (6) for a failed task.
  returned: always
  type: int
cmd:
  description: The Quillon command line; null when it was not started.
  returned: always
  type: list
  elements: str
run_log_errors:
  description: The C(ERROR) lines this call's run added to the run log.
  returned: always
  type: list
  elements: str
status:
  description: The whole pxtool.status document after the call.
  returned: always
  type: dict
status_before:
  description: The whole pxtool.status document before the call.
  returned: always
  type: dict
plan:
  description: The pxtool.plan document of the run (made before it started).
  returned: when a plan was made (check mode, or a run was due)
  type: dict
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kelvane.quillon.plugins.module_utils import quillon as q


def pxtool_document(module, argv, parse):
    rc, out, err = module.run_command(argv)
    return parse(rc, out, err)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            package_dir=dict(type='path', required=True),
            argument_file=dict(type='str'),
            mode=dict(type='str', default='force', choices=list(q.MODE_OPTIONS)),
            external_variable=dict(type='str'),
            reset=dict(type='str'),
            external_parameter=dict(type='str'),
            quillon_path=dict(type='path'),
            pxtool_path=dict(type='path'),
            allow_reboot=dict(type='bool', default=False),
            after_reboot=dict(type='bool', default=False),
            on_reboot_pending=dict(type='str', default='fail', choices=['fail', 'report']),
            resume_after_failure=dict(type='bool', default=False),
            allow_shell_characters=dict(type='bool', default=False),
        ),
        supports_check_mode=True,
    )
    p = module.params
    package_dir = os.path.abspath(p['package_dir'])
    layout, argument_file = q.choose_layout(package_dir, p['argument_file'])
    result = dict(changed=False, commands=[], exit_status=None, cmd=None, run_log_errors=[],
                  reboot_pending=False, layout=layout, argument_file=argument_file)
    try:
        values = dict((name, p[name]) for name in (
            'external_variable', 'reset', 'external_parameter'))
        q.check_external_values(values, p['allow_shell_characters'])
        if argument_file is None:
            raise q.QuillonError('no package in %s: neither %s nor %s is there (give '
                                 'argument_file, or unpack the package first)' % (
                                     package_dir, q.LOCAL_ARGUMENT_FILE,
                                     q.CLASSIC_ARGUMENT_FILE))
        q.check_local_options(layout, p['mode'], values, p['allow_reboot'])
        pxtool = q.find_program(module.get_bin_path, 'pxtool', p['pxtool_path'], q.PXTOOL_DIRS)
        options = q.run_options(p['mode'], p['external_variable'], p['reset'],
                                p['external_parameter'], p['allow_reboot'])
        before = pxtool_document(module, q.status_argv(pxtool, package_dir, argument_file),
                                 q.parse_status)
        result.update(q.summary(before), status=before, status_before=before)
        if before.get('state') == 'running':
            raise q.QuillonError('package %s is held by a running Quillon (it holds the run '
                                 'lock of %s); nothing done' % (package_dir, argument_file))
        status_path = (before.get('status_file') or {}).get('path') or ''
        if not os.path.isabs(status_path):
            status_path = os.path.join(package_dir, status_path)
        if before.get('reboot_required') and not p['after_reboot'] and \
                not q.booted_since(status_path, q.boot_time()):
            result['reboot_pending'] = True
            message = q.reboot_pending_message(package_dir, before)
            if p['on_reboot_pending'] == 'fail':
                raise q.QuillonError(message)
            module.warn(message)
            result['msg'] = message
            module.exit_json(**result)
        if q.stays_failed(before) and not p['resume_after_failure']:
            raise q.QuillonError('the last run of %s failed and is not resumed '
                                 '(resume_after_failure): %s' % (
                                     package_dir, q.failure(before, [], [])))
        plan = pxtool_document(module, q.plan_argv(pxtool, package_dir, argument_file, options,
                                                   layout), q.parse_plan)
        result['plan'] = plan
        # A run is due when a line is pending, and also to finish a run that
        # was cut off, asked for a reboot, or never started (even with nothing
        # pending: the run then writes the package's final status).
        due = q.pending(plan) or before.get('state') in (
            'not_started', 'interrupted', 'reboot_requested') or before.get('reboot_required')
        if not due:
            result['msg'] = 'nothing pending'
            module.exit_json(**result)
        result['changed'] = True
        if module.check_mode:
            result['reboot_required'] = q.plan_reboots(plan)
            result['msg'] = 'a run is due (check mode: nothing started)'
            module.exit_json(**result)

        quillon = q.find_program(module.get_bin_path, 'Quillon', p['quillon_path'], q.QUILLON_DIRS)
        run_log = os.path.join(package_dir, 'Quillon.log')
        log_offset = q.size_of(run_log)
        argv = q.quillon_argv(quillon, package_dir, argument_file, options, layout)
        rc, _out, _err = module.run_command(argv, cwd=package_dir)
        result.update(exit_status=rc, cmd=argv)
        events = q.log_events(q.read_from(run_log, log_offset))
        errors = q.log_errors(events)
        result['run_log_errors'] = errors
        if any(q.HELD_TEXT in e for e in errors):
            result['changed'] = False
            raise q.QuillonError('package %s is held by another run of Quillon; nothing done'
                                 % package_dir)
        after = pxtool_document(module, q.status_argv(pxtool, package_dir, argument_file),
                                q.parse_status)
        result.update(q.summary(after), status=after)
        result['commands'] = q.commands_run(plan, before, after, q.log_commands(events))
        message = q.failure(after, result['commands'], errors)
        if message:
            tail = q.output_tail(after)
            if tail is not None:
                result['output_tail'] = tail
            raise q.QuillonError(message)
    except q.QuillonError as e:
        module.fail_json(msg=str(e), **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
