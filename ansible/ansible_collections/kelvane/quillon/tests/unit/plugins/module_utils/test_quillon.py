# -*- coding: utf-8 -*-
# Tests of the result parsing shared by the Quillon modules, on the JSON of
# docs/json.md and run-log text as Quillon writes it.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import copy
import json
import os

import pytest

from ansible_collections.kelvane.quillon.plugins.module_utils import quillon as q

# pxtool.status, version 1, as docs/json.md shows it.
STATUS = {
    "schema": "pxtool.status", "schema_version": 1,
    "package_dir": "/srv/pkg", "argument_file": "pkg/px.arg",
    "state": "finished", "success": True, "reboot_required": True,
    "status_file": {"path": "/srv/pkg/pkg/HandlerStatus.txt", "status": 5, "retval": 1048576},
    "final_code": {"value": 1048576, "hex": "0x100000", "verdict": "success",
                   "description": "all commands ran; a reboot is due after the run",
                   "delayed_reboot": True, "condition": None},
    "progress": {"section": "[Commands]", "lines_pending": 0, "lines_taken": 4, "lines_total": 4,
                 "last_command": {"line": 9, "text": "sh install.sh", "return_code": 0},
                 "resume_line": None},
    "exit_status": 0,
}

NOT_STARTED = {
    "schema": "pxtool.status", "schema_version": 1, "state": "not_started", "success": None,
    "reboot_required": False, "status_file": None, "final_code": None,
    "progress": {"section": "[Commands]", "lines_pending": 4, "lines_taken": 0, "lines_total": 4,
                 "last_command": None, "resume_line": 5},
}

# pxtool.plan, version 1, as docs/json.md shows it.
PLAN = {
    "schema": "pxtool.plan", "schema_version": 1, "mode": "force",
    "section": {"key": "[Commands]", "line": 4, "fallback": False, "why": "forced run (the default): [Commands]"},
    "lines_taken": 0, "resume_line": 5, "staging": [],
    "steps": [
        {"line": 5, "kind": "flags", "text": "flag abort_ne 0", "flags": "abort_ne 0"},
        {"line": 6, "kind": "command", "text": "sh check.sh", "judged_by": "abort_ne 0",
         "outcomes": [{"when": "rc 0", "verdict": "go_on", "result": 0},
                      {"when": "rc != 0", "verdict": "abort", "result": 2}]},
        {"line": 7, "kind": "short", "text": "0 0"},
        {"line": 8, "kind": "flags", "text": "flag abort_ne 0 Delayed", "flags": "abort_ne 0 Delayed"},
        {"line": 9, "kind": "command", "text": "sh install.sh", "judged_by": "abort_ne 0 Delayed", "outcomes": []},
        {"line": 11, "kind": "skipped", "text": "sh install.sh update-only", "why": "update prefix in a forced run",
         "judged_by": None, "outcomes": [{"when": "always", "verdict": "go_on", "result": 0}]},
    ],
    "end": {"kind": "section_end", "line": 12, "result": 0},
}

LOG = (
    "\n\n*********+*********+*********+*********+*********+**********+**********+******\n"
    "**       Quillon V3.03.05 Log 2026/12/06 04:42:37\n"
    "** Arg [1]: /srv/pkg\n"
    "\n2026/12/06 04:42:37\tUse command section [Commands]\n"
    "\n2026/12/06 04:42:37\texec command <flag abort_ne 0>"
    "\n2026/12/06 04:42:37\t . . . returned 0"
    "\n2026/12/06 04:42:37\tExecuted command: \"flag abort_ne 0\" Retcode: 0"
    "\n2026/12/06 04:42:37\texec command <sh check.sh>"
    "\n2026/12/06 04:42:38\t . . . returned 1"
    "\n2026/12/06 04:42:38\tExecuted command: \"sh check.sh\" Retcode: 2"
    "\n2026/12/06 04:42:38\texec command <sh install.sh update-only>"
    "\n2026/12/06 04:42:38\t . . . skipped 0"
    "\n2026/12/06 04:42:38\texec command <sh -c \"sleep 100\">"
    "\n2026/12/06 04:42:38\tERROR : signal 15 (Terminated) received while command <sh -c \"sleep 100\"> ran"
)


def test_documents_are_read_and_checked():
    assert q.parse_status(0, json.dumps(STATUS), '')['final_code']['verdict'] == 'success'
    assert q.parse_plan(0, json.dumps(PLAN), '')['resume_line'] == 5
    # States other than success exit non-zero but still carry their JSON.
    assert q.parse_status(6, json.dumps(NOT_STARTED), '')['state'] == 'not_started'
    newer = dict(STATUS, schema_version=2)
    with pytest.raises(q.QuillonError, match='schema version 2'):
        q.parse_status(0, json.dumps(newer), '')
    with pytest.raises(q.QuillonError, match='pxtool.plan schema version 2'):
        q.parse_plan(0, json.dumps(dict(PLAN, schema_version=2)), '')
    with pytest.raises(q.QuillonError, match='pxtool.plan was expected'):
        q.parse_plan(0, json.dumps(STATUS), '')
    with pytest.raises(q.QuillonError, match=r'exit status 1\): pxtool: /srv/pkg/pkg/px.arg: No such file'):
        q.parse_status(1, '', 'pxtool: /srv/pkg/pkg/px.arg: No such file or directory\n')
    with pytest.raises(q.QuillonError, match='usage error'):
        q.parse_status(2, '', 'pxtool: unknown option --frobnicate\n')


def test_run_options():
    assert q.run_options('force') == ['-force', '-n']
    assert q.run_options('expert', 'v a', None, '7', allow_reboot=True) == [
        '-expert', '-external-variable', 'v a', '-external-parameter', '7']
    assert q.plan_argv('px', '/p', 'pkg/px.arg', ['-update', '-n'])[-4:] == ['-update', '-n', '--format', 'json']


def test_external_values_with_shell_characters_are_refused():
    # Each would run a command of its own once substituted into the line.
    for value in ('x $(id>/tmp/p)', 'x `id`', 'x\\ id', 'x;id', 'x|id', 'x&id', 'x<p', 'x>p',
                  'x\nid'):
        values = {'external_variable': 'seven', 'reset': value, 'external_parameter': None}
        with pytest.raises(q.QuillonError, match='^reset holds shell characters'):
            q.check_external_values(values, False)
        q.check_external_values(values, True)
    # What a value may hold without a word of shell meaning.
    q.check_external_values({'external_variable': 'v 2.4-rc_1/x=y,z:+@%"\'*?~#!{}()[]',
                             'reset': '', 'external_parameter': None}, False)


def test_run_log_commands_and_errors():
    events = q.log_events(LOG)
    assert events[0] == 'Use command section [Commands]'
    assert q.log_commands(events) == [
        {'text': 'flag abort_ne 0', 'return_code': 0, 'skipped': False},
        {'text': 'sh check.sh', 'return_code': 1, 'skipped': False},
        {'text': 'sh install.sh update-only', 'return_code': 0, 'skipped': True},
        {'text': 'sh -c "sleep 100"', 'return_code': None, 'skipped': False},
    ]
    assert q.log_errors(events) == [events[-1]]


def test_commands_run_follow_the_plan_and_the_log():
    logged = q.log_commands(q.log_events(LOG))
    after = copy.deepcopy(STATUS)
    after['progress']['lines_taken'] = 2
    ran = q.commands_run(PLAN, NOT_STARTED, after, logged)
    assert ran == [{'line': 6, 'text': 'sh check.sh', 'return_code': 1, 'skipped': False}]
    # No run log (a full disk): the lines still come from the plan, the last
    # command's code from the status.
    after['progress']['lines_taken'] = 4
    ran = q.commands_run(PLAN, NOT_STARTED, after, [])
    assert [(c['line'], c['return_code']) for c in ran] == [(6, None), (9, 0)]
    # Nothing taken, nothing listed.
    assert q.commands_run(PLAN, STATUS, STATUS, []) == []


def test_failure_names_the_command_and_the_code():
    aborted = copy.deepcopy(STATUS)
    aborted.update(success=False, reboot_required=False,
                   final_code={"value": 2, "hex": "0x2", "verdict": "aborted",
                               "description": "a command was aborted by its flags"})
    ran = [{'line': 6, 'text': 'sh check.sh', 'return_code': 1}]
    assert q.failure(aborted, ran, []) == (
        'the package failed with 0x2 (aborted): a command was aborted by its flags; '
        'command "sh check.sh" (line 6) returned 1')
    # Without commands of this call, the status's last command is named.
    assert 'command "sh install.sh" (line 9) returned 0' in q.failure(aborted, [], [])
    interrupted = dict(NOT_STARTED, state='interrupted')
    message = q.failure(interrupted, [{'line': 9, 'text': 'sleep', 'return_code': None}],
                        ['ERROR : signal 15 (Terminated) received'])
    assert message.startswith('the run was interrupted')
    assert 'returned no code (it was killed); run log: ERROR : signal 15' in message
    assert q.stays_failed(aborted)
    assert not q.stays_failed(dict(aborted, final_code={'verdict': 'handler_error'}))
    assert not q.stays_failed(STATUS) and not q.stays_failed(NOT_STARTED)
    for fine in (STATUS, NOT_STARTED, dict(STATUS, state='reboot_requested', success=None)):
        assert q.failure(fine, ran, []) is None


def test_booted_since(tmp_path):
    status_file = tmp_path / 'HandlerStatus.txt'
    status_file.write_text('Status=4\nRetval=6')
    mtime = os.stat(str(status_file)).st_mtime
    assert q.booted_since(str(status_file), mtime + 10)
    assert not q.booted_since(str(status_file), mtime - 10)
    assert not q.booted_since(str(tmp_path / 'missing'), mtime + 10)
    stat = tmp_path / 'stat'
    stat.write_text('cpu  1 2 3\nbtime 1700000000\n')
    assert q.boot_time(str(stat)) == 1700000000


def test_layout_follows_quillon_without_an_argument_file(tmp_path):
    pkg = tmp_path / 'pkg'
    (pkg / 'pkg').mkdir(parents=True)
    assert q.choose_layout(str(pkg), None) == (None, None)
    (pkg / 'pkg' / 'px.arg').write_text('[Commands]\r\n')
    assert q.choose_layout(str(pkg), None) == ('classic', 'pkg/px.arg')
    # px.arg beside it wins, as Quillon given no argument file runs it.
    (pkg / 'px.arg').write_text('[Commands]\r\n')
    assert q.choose_layout(str(pkg), None) == ('local', 'px.arg')
    assert q.choose_layout(str(pkg), '') == ('local', 'px.arg')
    # One given is run in classic mode, there or not.
    assert q.choose_layout(str(pkg), 'px.arg') == ('classic', 'px.arg')
    assert q.choose_layout(str(pkg), 'other/x.arg') == ('classic', 'other/x.arg')
    # A local run is the package directory alone; so is its plan.
    assert q.quillon_argv('Q', '/p', 'px.arg', ['-force', '-n'], 'local') == ['Q', '/p']
    assert q.quillon_argv('Q', '/p', 'px.arg', ['-force', '-n']) == ['Q', '/p', 'px.arg', '-force', '-n']
    assert q.plan_argv('px', '/p', 'px.arg', ['-force', '-n'], 'local') == [
        'px', 'plan', '/p', '--format', 'json']


def test_local_mode_refuses_options_it_cannot_pass():
    none = {'external_variable': None, 'reset': None, 'external_parameter': None}
    q.check_local_options('local', 'force', none, False)
    q.check_local_options('classic', 'update', dict(none, reset='1'), True)
    with pytest.raises(q.QuillonError, match=r'local mode .* so mode=update, reset cannot be passed'):
        q.check_local_options('local', 'update', dict(none, reset='1'), False)
    with pytest.raises(q.QuillonError, match='allow_reboot cannot'):
        q.check_local_options('local', 'force', none, True)
    # An empty value is still a value given.
    with pytest.raises(q.QuillonError, match='external_variable cannot'):
        q.check_local_options('local', 'force', dict(none, external_variable=''), False)


def test_plan_reboots_at_its_end():
    assert not q.plan_reboots(PLAN)
    assert not q.plan_reboots(None)
    delayed = dict(PLAN, end={"kind": "section_end", "line": 12, "result": 0, "delayed_reboot": True})
    assert q.plan_reboots(delayed)
    for result in (5, 6):
        stops = dict(PLAN, end={"kind": "stops", "line": 6, "result": result, "delayed_reboot": False})
        assert q.plan_reboots(stops)
    aborted = dict(PLAN, end={"kind": "stops", "line": 6, "result": 2, "delayed_reboot": False})
    assert not q.plan_reboots(aborted)


def test_pending_reboot_message_names_it_and_the_way_on():
    message = q.reboot_pending_message('/srv/pkg', STATUS)
    assert 'asked for a delayed reboot (final code 0x100000)' in message
    assert 'Reboot the host, then run again' in message
    requested = dict(NOT_STARTED, state='reboot_requested', reboot_required=True,
                     final_code={"hex": "0x6", "verdict": "reboot_suppressed", "delayed_reboot": False})
    assert 'asked for a reboot (state reboot_requested)' in q.reboot_pending_message('/p', requested)


def test_output_tail_of_a_failed_command():
    aborted = copy.deepcopy(STATUS)
    aborted.update(success=False, reboot_required=False,
                   final_code={"value": 2, "hex": "0x2", "verdict": "aborted"})
    assert q.output_tail(aborted) is None
    assert 'output' not in q.failure(aborted, [], [])
    aborted['output_tail'] = ['step 1', 'disk full', 'giving up']
    aborted['output_size'] = 40
    assert q.output_tail(aborted) == ['step 1', 'disk full', 'giving up']
    assert q.failure(aborted, [], []).endswith(
        'its output ended with: step 1 | disk full | giving up')
    # Beside the last command, or as one text: read the same way.
    del aborted['output_tail']
    aborted['progress']['last_command']['output_tail'] = 'a\nb\n'
    assert q.output_tail(aborted) == ['a', 'b']
    # Only the last five lines go into the message.
    aborted['output_tail'] = [str(i) for i in range(9)]
    assert q.failure(aborted, [], []).endswith('with: 4 | 5 | 6 | 7 | 8')


# pxtool.history, version 1, as docs/json.md shows it (one run).
HISTORY = {
    "schema": "pxtool.history", "schema_version": 1, "database": "/var/lib/quillon/history.db",
    "runs": [{"id": 41, "argument_file": "/srv/pkg/pkg/px.arg", "mode": "classic",
              "state": "ended", "verdict": "success", "reboot": "delayed"}],
}


def test_history_argv_forms():
    assert q.history_argv('pxtool') == ['pxtool', 'history', '--format', 'json']
    assert q.history_argv('pxtool', package='/srv/pkg', since='2026-12-01', last=5) == [
        'pxtool', 'history', '--package', '/srv/pkg', '--since', '2026-12-01', '--last', '5',
        '--format', 'json']
    # The other forms take no selection.
    assert q.history_argv('pxtool', package='/srv/pkg', commands=41) == [
        'pxtool', 'history', '--commands', '41', '--format', 'json']
    assert q.history_argv('pxtool', last=3, pending=True) == [
        'pxtool', 'history', '--pending', '--format', 'json']


def test_parse_history():
    assert q.parse_history(0, json.dumps(HISTORY), '')['runs'][0]['id'] == 41
    with pytest.raises(q.QuillonError, match='usage error: pxtool: history: --last'):
        q.parse_history(2, '', 'pxtool: history: --last takes a positive number, not 0\n')
    with pytest.raises(q.QuillonError, match='cannot be read'):
        q.parse_history(1, '', 'pxtool: history: /var/lib/quillon/history.db: cannot be read\n')
    with pytest.raises(q.QuillonError, match='not understood'):
        q.parse_history(0, json.dumps(dict(HISTORY, schema_version=2)), '')
