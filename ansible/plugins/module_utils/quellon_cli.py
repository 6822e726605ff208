# -*- coding: utf-8 -*-
# Copyright: Tamsholt
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
#
# What the modules share: the quellon-cli command line made from the task's
# options, the password handed over in the environment (never on the command
# line, where ps shows it), and quellon-cli's output read into Ansible's
# result shape. Everything that depends on what quellon-cli prints is here, so
# a change of its output is one edit.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import datetime
import fnmatch
import json
import os
import re

# The variable quellon-cli reads the password from (--password-env).
PASSWORD_ENV = 'QUELLON_ANSIBLE_PASSWORD'
# And the one for the archive's own password (--archive-password-env).
ARCHIVE_PASSWORD_ENV = 'QUELLON_ANSIBLE_ARCHIVE_PASSWORD'

# Every quellon-cli line about a failure starts so; the host's reason lines
# are indented under the stage line, the job log follows its heading.
_PREFIX = 'quellon-cli: '
_WARNING = 'quellon-cli: warning: '
_JOB_LOG_HEADING = 'quellon-cli: last lines of the host job log:'

# Verdicts of a save or restore whose work is there although a later step
# failed ("archive X written, but 1 host step(s) failed", "restored ..., but
# the command after the restore failed").
_DONE_ANYWAY = re.compile(r'^(archive .* written|restored\b.*), but ')


def connection_argument_spec():
    return dict(
        host=dict(type='str', required=True),
        port=dict(type='int'),
        user=dict(type='str', required=True),
        password=dict(type='str', no_log=True),
        password_file=dict(type='path', no_log=False),
        transport=dict(type='str', choices=['ftp', 'ssh'], default='ftp'),
        passive=dict(type='bool', default=False),
        tls=dict(type='str', choices=['none', 'explicit', 'implicit'], default='none'),
        tls_fingerprint=dict(type='str'),
        tls_ca=dict(type='path'),
        proxy=dict(type='str'),
        proxy_port=dict(type='int'),
        ssh_library=dict(type='str'),
        host_key=dict(type='str', no_log=False),
        timeout=dict(type='int'),
        ignore_host_errors=dict(type='bool', default=False),
        executable=dict(type='path'),
    )


CONNECTION_MUTUALLY_EXCLUSIVE = [('password', 'password_file')]
# Over FTP the host always wants a password; over SSH keys may do.
CONNECTION_REQUIRED_IF = [('transport', 'ftp', ('password', 'password_file'), True)]


def check_connection(module):
    """Refuses option mixes quellon-cli would refuse, before anything runs
    (so check mode tells as well)."""
    p = module.params
    if p['transport'] == 'ssh':
        given = [name for name in ('passive', 'tls_fingerprint', 'tls_ca', 'proxy')
                 if p[name]] + (['tls'] if p['tls'] != 'none' else [])
        if given:
            module.fail_json(msg='transport: ssh goes without %s: SSH protects and carries all'
                             % ', '.join(given))
    else:
        given = [name for name in ('ssh_library', 'host_key') if p[name]]
        if given:
            module.fail_json(msg='%s need transport: ssh' % ', '.join(given))
        if p['tls'] == 'none' and (p['tls_fingerprint'] or p['tls_ca']):
            module.fail_json(msg='tls_fingerprint and tls_ca need tls: explicit or implicit')
    if p['port'] is not None and not 0 < p['port'] < 65536:
        module.fail_json(msg='port %d is not a TCP port' % p['port'])


def executable(module):
    if module.params['executable']:
        return module.params['executable']
    return module.get_bin_path('quellon-cli', required=True)


def connection_args(params):
    """The connection part of a save or restore command line, and the
    environment that carries the password."""
    args = ['--host', params['host'], '--user', params['user']]
    env = {}
    if params['password'] is not None:
        args += ['--password-env', PASSWORD_ENV]
        env[PASSWORD_ENV] = params['password']
    elif params['password_file']:
        args += ['--password-file', params['password_file']]
    if params['port'] is not None:
        args += ['--port', str(params['port'])]
    if params['transport'] == 'ssh':
        args.append('--ssh')
        if params['ssh_library']:
            args += ['--ssh-library', params['ssh_library']]
        if params['host_key']:
            args += ['--host-key', params['host_key']]
    else:
        if params['passive']:
            args.append('--passive')
        if params['tls'] != 'none':
            args += ['--tls', params['tls']]
        if params['tls_fingerprint']:
            args += ['--tls-fingerprint', params['tls_fingerprint']]
        if params['tls_ca']:
            args += ['--tls-ca', params['tls_ca']]
        if params['proxy']:
            args += ['--proxy', params['proxy']]
            if params['proxy_port'] is not None:
                args += ['--proxy-port', str(params['proxy_port'])]
    if params['timeout'] is not None:
        args += ['--timeout', str(params['timeout'])]
    if params['ignore_host_errors']:
        args.append('--ignore-errors')
    return args, env


def _stamp(t):
    # As ansible.builtin.command gives them.
    return t.strftime('%Y-%m-%d %H:%M:%S.%f')


def run(module, argv, env=None):
    """Runs quellon-cli; the result's command-shaped keys (cmd, rc, stdout
    and stderr lines, start, end, delta)."""
    start = datetime.datetime.now()
    rc, out, err = module.run_command(argv, environ_update=env or {})
    end = datetime.datetime.now()
    return dict(
        cmd=argv,
        rc=rc,
        stdout_lines=out.splitlines(),
        stderr_lines=err.splitlines(),
        start=_stamp(start),
        end=_stamp(end),
        delta=str(end - start),
    )


def run_job(module, argv, env):
    """Runs a save or restore with --json. Returns the command-shaped keys
    (without stdout, which holds only the report) and the report: the JSON
    object quellon-cli closes the job with (command, ok, exit_status,
    archive or input, host, library, saved_library, to_library, error,
    warnings, ...), or None when it printed none (wrong usage)."""
    r = run(module, argv + ['--json'], env)
    report = None
    for line in reversed(r.pop('stdout_lines')):
        if line.startswith('{'):
            try:
                report = _snake_keys(json.loads(line))
            except ValueError:
                pass
            break
    return r, report


def read_failure(stderr_lines, report=None):
    """quellon-cli's failure report, taken apart: `msg` (the verdict with the
    host's reason), `stage` (what failed first), `reason` (the host's reply
    and escape message lines), `job_log` (the last lines of the host job
    log), `warnings`, and `done`: the archive was written or the library
    restored all the same, and only a later step failed. The verdict and
    the warnings come from the JSON report where there is one."""
    messages, reason, job_log, warnings = [], [], [], []
    in_job_log = False
    for line in stderr_lines:
        if line.startswith(_WARNING):
            warnings.append(line[len(_WARNING):])
            in_job_log = False
        elif line == _JOB_LOG_HEADING:
            in_job_log = True
        elif line.startswith(_PREFIX + ' '):
            reason.append(line[len(_PREFIX):].strip())
            in_job_log = False
        elif line.startswith(_PREFIX):
            messages.append(line[len(_PREFIX):])
            in_job_log = False
        elif in_job_log and line.startswith('  '):
            job_log.append(line[2:])
    verdict = messages[-1] if messages else 'quellon-cli failed'
    if report is not None:
        verdict = report.get('error') or verdict
        warnings = report.get('warnings') or []
    msg = verdict
    if reason:
        msg += ' (%s)' % '; '.join(reason)
    return dict(
        msg=msg,
        stage=messages[0] if len(messages) > 1 else '',
        reason=reason,
        job_log=job_log,
        warnings=warnings,
        done=bool(_DONE_ANYWAY.match(verdict)),
    )


def _snake(name):
    return re.sub(r'(?<=[a-z0-9])([A-Z])', r'_\1', name).lower()


def _snake_keys(value):
    if isinstance(value, dict):
        return dict((_snake(k), _snake_keys(v)) for k, v in value.items())
    if isinstance(value, list):
        return [_snake_keys(v) for v in value]
    return value


def archive_facts(info_json):
    """The fields of `quellon-cli info --json`, with Ansible's snake_case
    names (savedLibrary becomes saved_library, members' compressedSize
    compressed_size), less `file`: the modules' `archive` names it."""
    facts = _snake_keys(json.loads(info_json))
    facts.pop('file', None)
    facts.setdefault('members', [])
    return facts


def archive_password_args(password):
    """The options and environment that hand an encrypted archive's password
    to quellon-cli; nothing when there is none."""
    if password is None:
        return [], {}
    return ['--archive-password-env', ARCHIVE_PASSWORD_ENV], {ARCHIVE_PASSWORD_ENV: password}


def read_archive(module, cli, path, password=None):
    """The archive's facts from quellon-cli info (local, nothing is sent);
    (facts, None), or (None, the failure's result) when it cannot be read."""
    args, env = archive_password_args(password)
    r = run(module, [cli, 'info', path, '--json'] + args, env or None)
    if r['rc'] == 0:
        try:
            return archive_facts('\n'.join(r['stdout_lines'])), None
        except ValueError as e:
            r['msg'] = 'quellon-cli info --json printed no JSON object: %s' % e
            return None, r
    r.update(read_failure(r['stderr_lines']))
    return None, r


def restore_library(facts):
    """The library a restore goes into when none is given: the archive's
    proposal, or the saved library where it proposes *SAVLIB."""
    proposal = facts.get('default_restore_library') or ''
    if proposal and proposal.upper() != '*SAVLIB':
        return proposal.upper()
    return (facts.get('saved_library') or '').upper()


def file_size(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return None


def expired_archives(folder, pattern, keep, current):
    """The files named like `pattern` in `folder` beyond the newest `keep`,
    oldest first. `current` (the archive just saved) always counts as the
    newest, whatever its time stamp says."""
    others = []
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        path = os.path.join(folder, name)
        # Dot names are saves still being written.
        if name.startswith('.') or path == current or not fnmatch.fnmatchcase(name, pattern) \
                or not os.path.isfile(path):
            continue
        others.append((os.stat(path).st_mtime, name, path))
    others.sort(reverse=True)
    return [path for _, _, path in reversed(others[keep - 1:])]
