# -*- coding: utf-8 -*-
# Copyright: Kelvane Systems
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""What the Quillon modules share: finding the programs, the command lines of
Quillon and pxtool, reading pxtool's JSON (pxtool.status and pxtool.plan,
each of schema version 1), the lines a run appended to the run log, and the verdict
on a run as a task result.

Everything below the program search is a pure function of its arguments, so
the result parsing is tested without a host, a Quillon or a pxtool.
"""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import re

# Where the Debian package (/usr) and a source install (/usr/local) put the
# programs; searched after PATH.
QUILLON_DIRS = ['/usr/sbin', '/usr/local/sbin']
PXTOOL_DIRS = ['/usr/bin', '/usr/local/bin']

MODE_OPTIONS = {'force': '-force', 'update': '-update', 'expert': '-expert'}

# The version of each schema these modules read (pxtool versions each schema
# on its own: pxtool.report is at 2, its times in RFC 3339, while the ones read here
# are unchanged). A newer version changed the meaning of a field, so it is
# refused rather than misread.
SCHEMA_VERSIONS = {'pxtool.status': 1, 'pxtool.plan': 1, 'pxtool.history': 1}

# Exit statuses of "pxtool status" (docs/json.md).
STATUS_EXIT_USAGE = 2

# The run log's event lines: "<date> <time>\t<text>".
_LOG_EVENT = re.compile(r'^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\t(.*)$')
_EXEC = re.compile(r'^exec command <(.*)>$')
_RETURNED = re.compile(r'^ \. \. \. (returned|skipped) (-?\d+)$')

# The run-log line of a run that found the package held by another run.
HELD_TEXT = 'is in use by another run of Quillon'

# Quillon puts an external value into the command line in place of its
# placeholder as it is, unquoted, and the shell runs that line as root. These
# characters would make a value run commands of its own there: substitution
# ($, backquote), an escape (backslash), a command list (;, &, newline), a
# pipe or a redirection.
SHELL_CHARACTERS = ('$', '`', '\\', ';', '|', '&', '<', '>', '\n')


class QuillonError(Exception):
    """A failure that ends the task; its text is the task's message."""


def find_program(get_bin_path, name, given, extra_dirs):
    """The program to run: `given` when set (it must exist), else `name` on
    PATH, else in `extra_dirs`. `get_bin_path` is AnsibleModule.get_bin_path.
    Raises QuillonError naming what was searched."""
    if given:
        if not os.path.isfile(given) or not os.access(given, os.X_OK):
            raise QuillonError('%s: no such executable program' % given)
        return given
    found = get_bin_path(name, required=False, opt_dirs=extra_dirs)
    if not found:
        raise QuillonError('%s not found on PATH nor in %s; install the quillon '
                           'package or give its path' % (name, ', '.join(extra_dirs)))
    return found


def run_options(mode, external_variable=None, reset=None,
                external_parameter=None, allow_reboot=False):
    """Quillon's options for a run (and pxtool plan's, which reads the same
    command line): the mode, the external values, and -n unless Quillon
    may reboot the host itself."""
    options = [MODE_OPTIONS[mode]]
    for option, value in (('-external-variable', external_variable),
                          ('-reset', reset),
                          ('-external-parameter', external_parameter)):
        if value is not None:
            options += [option, value]
    if not allow_reboot:
        options.append('-n')
    return options


def shell_characters(value):
    """The characters of SHELL_CHARACTERS that `value` holds, in that order."""
    return [c for c in SHELL_CHARACTERS if c in (value or '')]


def check_external_values(values, allow):
    """Raises QuillonError naming the first of `values` (option name to value)
    that holds shell characters, unless `allow`."""
    if allow:
        return
    for option in sorted(values):
        found = shell_characters(values[option])
        if found:
            raise QuillonError(
                '%s holds shell characters (%s): Quillon puts the value into the command '
                'line unquoted and the shell runs it as root; nothing done. Set '
                'allow_shell_characters: true only when the package quotes the placeholder'
                % (option, ' '.join(repr(c) for c in found)))


# Layouts of a package: "local" (px.arg in the package directory, started as
# "Quillon DIR": no options, nothing staged, reboots suppressed) and
# "classic" ("Quillon DIR ARGFILE OPTIONS").
LOCAL_ARGUMENT_FILE = 'px.arg'
CLASSIC_ARGUMENT_FILE = 'pkg/px.arg'


def choose_layout(package_dir, argument_file, exists=os.path.isfile):
    """The layout and argument file of a run: classic with `argument_file`
    when one is given; else, as Quillon given no argument file does, local
    with px.arg in the package directory when it is there, else classic with
    pkg/px.arg (the example package's layout) when that is there. None for
    the argument file when neither is on the host."""
    if argument_file:
        return 'classic', argument_file
    if exists(os.path.join(package_dir, LOCAL_ARGUMENT_FILE)):
        return 'local', LOCAL_ARGUMENT_FILE
    if exists(os.path.join(package_dir, CLASSIC_ARGUMENT_FILE)):
        return 'classic', CLASSIC_ARGUMENT_FILE
    return None, None


def check_local_options(layout, mode, values, allow_reboot):
    """Raises QuillonError when a local-mode run is asked for options that
    Quillon's local mode does not take (it is started with the package
    directory alone)."""
    if layout != 'local':
        return
    given = sorted(name for name in values if values[name] is not None)
    if mode != 'force':
        given.insert(0, 'mode=%s' % mode)
    if allow_reboot:
        given.append('allow_reboot')
    if given:
        raise QuillonError(
            'px.arg in the package directory is run in local mode (Quillon PACKAGE_DIR), '
            'which takes no options, so %s cannot be passed on; give argument_file (for '
            'example px.arg) to run it in classic mode' % ', '.join(given))


def quillon_argv(quillon, package_dir, argument_file, options, layout='classic'):
    """A classic-mode run: Quillon <workdir> <argfile> <options>; a local
    one: Quillon <workdir>."""
    if layout == 'local':
        return [quillon, package_dir]
    return [quillon, package_dir, argument_file] + list(options)


def status_argv(pxtool, package_dir, argument_file):
    return [pxtool, 'status', package_dir, argument_file, '--format', 'json']


def plan_argv(pxtool, package_dir, argument_file, options, layout='classic'):
    if layout == 'local':
        return [pxtool, 'plan', package_dir, '--format', 'json']
    return ([pxtool, 'plan', package_dir, argument_file] + list(options) +
            ['--format', 'json'])


def parse_document(schema, rc, stdout, stderr):
    """The JSON object pxtool wrote for `schema` (one of SCHEMA_VERSIONS:
    status, plan, history). Raises QuillonError with pxtool's own message when there is
    none: a usage error, an unreadable package, or a newer schema version."""
    message = (stderr or '').strip()
    try:
        document = json.loads(stdout) if stdout and stdout.strip() else None
    except ValueError:
        document = None
    if not isinstance(document, dict):
        raise QuillonError('pxtool %s failed (exit status %d)%s' % (
            schema.split('.')[-1], rc, ': ' + message if message else ''))
    if document.get('schema') != schema:
        raise QuillonError('pxtool wrote a %r document where %s was expected'
                           % (document.get('schema'), schema))
    if document.get('schema_version') != SCHEMA_VERSIONS[schema]:
        raise QuillonError('%s schema version %r is not understood (this '
                           'collection reads version %d)'
                           % (schema, document.get('schema_version'), SCHEMA_VERSIONS[schema]))
    return document


def parse_status(rc, stdout, stderr):
    if rc == STATUS_EXIT_USAGE:
        raise QuillonError('pxtool status: usage error: %s' % (stderr or '').strip())
    return parse_document('pxtool.status', rc, stdout, stderr)


def parse_plan(rc, stdout, stderr):
    return parse_document('pxtool.plan', rc, stdout, stderr)


def history_argv(pxtool, package=None, since=None, last=None, commands=None,
                 pending=False):
    """pxtool history's command line: the runs (of `package`, since `since`,
    the last `last`), or the lines of run `commands`, or the pending
    packages; always JSON."""
    argv = [pxtool, 'history']
    if commands is not None:
        argv += ['--commands', str(commands)]
    elif pending:
        argv += ['--pending']
    else:
        if package:
            argv += ['--package', package]
        if since:
            argv += ['--since', since]
        if last:
            argv += ['--last', str(last)]
    return argv + ['--format', 'json']


def parse_history(rc, stdout, stderr):
    if rc == STATUS_EXIT_USAGE:
        raise QuillonError('pxtool history: usage error: %s' % (stderr or '').strip())
    return parse_document('pxtool.history', rc, stdout, stderr)


def log_events(text):
    """The event texts of a piece of run log (header lines left out; a
    continuation line without a time stamp is left out too)."""
    events = []
    for line in text.splitlines():
        match = _LOG_EVENT.match(line)
        if match:
            events.append(match.group(1))
    return events


def log_commands(events):
    """The command lines the run started, in order: their text as the run log
    shows it and the return code ("skipped" lines: the code they are judged
    against). A command whose end is not logged (the run was killed while it
    ran) has return_code None."""
    commands = []
    for event in events:
        match = _EXEC.match(event)
        if match:
            commands.append({'text': match.group(1), 'return_code': None,
                             'skipped': False})
            continue
        match = _RETURNED.match(event)
        if match and commands and commands[-1]['return_code'] is None:
            commands[-1]['return_code'] = int(match.group(2))
            commands[-1]['skipped'] = match.group(1) == 'skipped'
    return commands


def log_errors(events):
    return [e for e in events if e.startswith('ERROR')]


def lines_taken(status):
    progress = status.get('progress') or {}
    return progress.get('lines_taken'), progress.get('section')


def commands_run(plan, status_before, status_after, logged):
    """The command lines taken up in this call: line, text and return code.

    How many lines the call took is the difference of the progress counts
    before and after when both are of the plan's section, else the number
    of commands the run log shows. The lines are the first pending steps of
    the plan made before the run (flags lines are taken up too but are not
    commands, lines too short to run are never taken). Return codes come
    from the run log in order; the last command's also from the status."""
    steps = [s for s in (plan or {}).get('steps', []) if s.get('kind') != 'short']
    section = ((plan or {}).get('section') or {}).get('key')
    before, section_before = lines_taken(status_before)
    after, section_after = lines_taken(status_after)
    if section_before != section_after:
        before = (plan or {}).get('lines_taken')
    if after is not None and before is not None and section_after == section:
        count = max(after - before, 0)
    else:
        count = len(logged)
    last = (status_after.get('progress') or {}).get('last_command') or {}
    result = []
    for index, step in enumerate(steps[:count]):
        entry = logged[index] if index < len(logged) else {}
        if step.get('kind') == 'flags':
            continue
        code = entry.get('return_code')
        if code is None and last.get('line') == step.get('line'):
            code = last.get('return_code')
        result.append({'line': step.get('line'),
                       'text': entry.get('text', step.get('text')),
                       'return_code': code,
                       'skipped': step.get('kind') == 'skipped' or entry.get('skipped', False)})
    return result


def pending(plan):
    """Whether a run in the plan's mode would take up any line."""
    return (plan or {}).get('resume_line') is not None


# Run results of a reboot at the plan's end: requested (5), suppressed (6).
REBOOT_RESULTS = (5, 6)


def plan_reboots(plan):
    """Whether the run the plan describes ends with a reboot due: a delayed
    reboot noted by then, or a reboot request that stops it."""
    end = (plan or {}).get('end') or {}
    return bool(end.get('delayed_reboot')) or end.get('result') in REBOOT_RESULTS


def reboot_pending_message(package_dir, status):
    """The failure message for a package whose last run left a reboot due
    that has not happened."""
    code = status.get('final_code') or {}
    what = ('a delayed reboot (final code %s)' % code.get('hex')
            if code.get('delayed_reboot') else 'a reboot (state %s)' % status.get('state'))
    return ('the last run of %s asked for %s and the host has not booted since: nothing run. '
            'Reboot the host, then run again (after_reboot: true if the reboot is not seen '
            'in the boot time); the role kelvane.quillon.quillon_package does this by itself'
            % (package_dir, what))


def output_tail(status):
    """The failed command's last output lines from pxtool.status, a list, or
    None when pxtool does not provide them (field output_tail, at the top or
    in progress.last_command)."""
    last = (status.get('progress') or {}).get('last_command') or {}
    for source in (status, last):
        tail = source.get('output_tail')
        if tail is None:
            continue
        if isinstance(tail, list):
            return [str(line) for line in tail]
        return str(tail).splitlines()
    return None


# Verdicts of a run that failed for reasons outside the package (a signal, a
# lost session, a full disk, memory): the next run resumes behind the last line
# taken, as Quillon intends. The other failures are the package's own verdict
# and are not run past without being asked to.
RETRIED_VERDICTS = ('handler_error', 'out_of_memory')


def stays_failed(status):
    """Whether the package's recorded result is a failure that a new run must
    not go past (unless asked to)."""
    return (status.get('success') is False and
            (status.get('final_code') or {}).get('verdict') not in RETRIED_VERDICTS)


def describe_code(status):
    code = status.get('final_code') or {}
    text = '%s (%s)' % (code.get('hex', '?'), code.get('verdict', 'unknown'))
    if code.get('description'):
        text += ': %s' % code['description']
    return text


def failure(status, ran, errors):
    """The task's failure message for the state after a run, or None when
    the run did not fail (finished with success, or ended for a reboot).

    It names the command that decided the outcome and its return code, the
    decoded final code, and the run log's last error line."""
    state = status.get('state')
    if state in ('reboot_requested', 'not_started', 'running') or status.get('success'):
        return None
    if state == 'interrupted':
        head = 'the run was interrupted (Status=3) and did not end'
    else:
        head = 'the package failed with %s' % describe_code(status)
    last = ran[-1] if ran else (status.get('progress') or {}).get('last_command')
    if last:
        code = last.get('return_code')
        head += '; command "%s" (line %s) returned %s' % (
            last.get('text'), last.get('line'),
            'no code (it was killed)' if code is None else code)
    if errors:
        head += '; run log: %s' % errors[-1]
    tail = output_tail(status)
    if tail:
        head += '; its output ended with: %s' % ' | '.join(tail[-5:])
    return head


def summary(status):
    """The fields of pxtool.status a task returns at its top level."""
    progress = status.get('progress') or {}
    return {
        'state': status.get('state'),
        'success': status.get('success'),
        'reboot_required': bool(status.get('reboot_required')),
        'final_code': status.get('final_code'),
        'resume_line': progress.get('resume_line'),
        'progress': progress,
    }


def booted_since(path, now_btime):
    """Whether the host booted after `path` (the status file) was written:
    the reboot a run asked for has happened. False when unknown."""
    try:
        return now_btime is not None and os.stat(path).st_mtime < now_btime
    except OSError:
        return False


def boot_time(stat_path='/proc/stat'):
    try:
        with open(stat_path) as handle:
            for line in handle:
                if line.startswith('btime '):
                    return int(line.split()[1])
    except (IOError, OSError, ValueError):
        pass
    return None


def read_from(path, offset):
    """What was appended to `path` after `offset` bytes, as text ('' when the
    file is missing)."""
    try:
        with open(path, 'rb') as handle:
            handle.seek(offset)
            return handle.read().decode('utf-8', 'replace')
    except (IOError, OSError):
        return ''


def size_of(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0
