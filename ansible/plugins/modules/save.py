#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: Tamsholt
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: save
short_description: Save an IBM i library or objects into a zipped save file (.4ql)
version_added: 1.0.0
description:
  - Has the host save a library (or objects of it) into a save file, downloads it and writes the
    zipped save file I(archive), by running C(quellon-cli save) on the machine the task runs on,
    the controller (C(delegate_to=localhost)) or a delegate with quellon-cli installed. Nothing is
    installed on the IBM i host.
  - The archive is written under a hidden temporary name and takes its name only when the save,
    the download and the zipping all succeeded; a failed save leaves no archive and an earlier
    archive of that name as it was.
  - A failing host command fails the task with the host's reason (I(reason)) and the end of the
    host job log (I(job_log)); other hosts go on, as Ansible does with any failed host.
  - In check mode nothing is sent to the host and nothing is written; the task reports what it
    would save where.
author: Tamsholt
extends_documentation_fragment:
  - quellon.ibmi.connection
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  platform:
    support: full
    platforms: posix
options:
  encrypt:
    description:
      - Encrypt every member of the archive with AES-256 (WinZip AES), with I(archive_password).
    type: bool
    default: false
  archive_password:
    description:
      - The password the archive is encrypted with, handed to quellon-cli in an environment variable.
    type: str
  archive:
    description:
      - The archive to write (C(.4ql)), on the machine the task runs on. Its folder is made when
        missing. A relative path is taken from the working folder of C(ansible-playbook).
      - Templating gives each host and library its own, for example
        C(backups/{{ inventory_hostname }}/{{ lib }}-{{ stamp }}.4ql).
    type: path
    required: true
  library:
    description: The library to save.
    type: str
    required: true
  object:
    description: Save only this object of I(library) (a name, a generic name such as C(PAY*), or C(*ALL)).
    type: str
  object_type:
    description: Object type of I(object), for example C(*PGM) (default C(*ALL)).
    type: str
  release:
    description: Target release of the save, for example C(V7R3M0) (default C(*CURRENT)).
    type: str
  command:
    description: OS/400 command the archive asks to run on the host after a restore.
    type: str
  default_host:
    description: Host proposed when the archive is restored.
    type: str
  default_user:
    description: User profile proposed when the archive is restored.
    type: str
  default_library:
    description: Library proposed when the archive is restored (default C(*SAVLIB), the saved library).
    type: str
  poster:
    description: Picture the wizard shows after a restore of the archive.
    type: path
  poster_link:
    description: Address opened when the poster is clicked.
    type: str
  poster_stretch:
    description: Stretch the poster.
    type: bool
    default: false
  owner:
    description: Who made the archive (default the name of the user running quellon-cli).
    type: str
  replace:
    description:
      - Overwrite I(archive) when it exists. Without it an existing archive fails the task, so a
        save never silently keeps an old archive. The old archive stays until the new one is complete.
    type: bool
    default: false
  keep:
    description:
      - After a successful save, keep only the newest I(keep) archives whose names match
        I(keep_pattern) in the folder of I(archive), the one just written among them, and
        remove the older ones. A failed save removes nothing.
      - In check mode the task lists what it would remove and removes nothing.
    type: int
  keep_pattern:
    description:
      - Shell pattern of the names of the archives I(keep) counts, in the folder of I(archive),
        for example C(PAYROLL-*.4ql). It must match the name of I(archive) itself.
      - Required with I(keep).
    type: str
notes:
  - Run it with C(delegate_to=localhost) (or a backup server) and C(gather_facts=false) for the
    IBM i hosts of an inventory; forks run the hosts' saves at the same time.
  - The password goes to quellon-cli in an environment variable; the host's FTP server receives
    it as any FTP client sends it, in the clear unless I(tls) or I(transport=ssh).
seealso:
  - module: quellon.ibmi.restore
  - module: quellon.ibmi.info
'''

EXAMPLES = r'''
- name: Save PAYROLL from every IBM i host
  quellon.ibmi.save:
    host: "{{ ansible_host }}"
    user: BACKUP
    password: "{{ vault_ibmi_password }}"
    library: PAYROLL
    release: V7R3M0
    archive: "/srv/backup/{{ inventory_hostname }}/PAYROLL-{{ '%Y-%m-%d' | strftime }}.4ql"
    replace: true
    keep: 7
    keep_pattern: PAYROLL-*.4ql
  delegate_to: localhost

- name: Save the programs PAY* over FTP with TLS, behind a firewall
  quellon.ibmi.save:
    host: as400.example.com
    user: JOE
    password_file: /etc/quellon/joe.pw
    library: MYLIB
    object: PAY*
    object_type: "*PGM"
    passive: true
    tls: explicit
    archive: /srv/backup/paypgms.4ql
  delegate_to: localhost

- name: Save over SSH from a host whose FTP server is off
  quellon.ibmi.save:
    host: "{{ ansible_host }}"
    user: BACKUP
    transport: ssh
    library: PAYROLL
    archive: /srv/backup/payroll.4ql
  delegate_to: localhost
'''

RETURN = r'''
archive:
  description: Absolute path of the archive.
  returned: always
  type: str
  sample: /srv/backup/as400a/PAYROLL-2026-12-09.4ql
size:
  description: Size of the archive in bytes.
  returned: when the archive was written
  type: int
  sample: 1048920
members:
  description: The archive's members.
  returned: when the archive was written
  type: list
  elements: dict
  contains:
    name:
      description: Member name.
      type: str
    size:
      description: Size in bytes.
      type: int
    compressed_size:
      description: Size in the archive in bytes.
      type: int
  sample: [{name: zipInfo.4qi, size: 1884, compressed_size: 138}, {name: 4QL385F.tmp, size: 24288, compressed_size: 8644}]
archive_info:
  description: The archive's description record as M(quellon.ibmi.info) returns it (saved library, save time, release, ...).
  returned: when the archive was written
  type: dict
removed:
  description: The older archives removed by I(keep) (in check mode, those it would remove), oldest first.
  returned: with I(keep)
  type: list
  elements: str
  sample: [/srv/backup/as400a/PAYROLL-2026-12-01.4ql]
host:
  description: The host saved from.
  returned: always
  type: str
library:
  description: The saved library, in upper case.
  returned: always
  type: str
  sample: PAYROLL
msg:
  description: What was done, or the failure with the host's reason.
  returned: always
  type: str
  sample: "save of PAYROLL from as400 failed: stopped at a host failure; no archive written (Escape message: CPF3781 Library PAYROLL not found.)"
rc:
  description: Exit status of quellon-cli (0 success, 1 failed, 2 wrong usage, 130 or 143 stopped by a signal).
  returned: when quellon-cli ran
  type: int
stage:
  description: The step that failed first, as the wizard's job log viewer names it.
  returned: on failure
  type: str
reason:
  description: The host's reason lines under the failed step (every line of its reply, the escape message).
  returned: on failure
  type: list
  elements: str
  sample: ["Host reply: 550-Error occurred on command SAVLIB", "Escape message: CPF3781 Library PAYROLL not found."]
job_log:
  description: The last lines of the host job log.
  returned: on failure, when the host gave its job log
  type: list
  elements: str
cmd:
  description: The quellon-cli command line (the password is not on it); C(--json) is added when it runs.
  returned: always
  type: list
  elements: str
stderr_lines:
  description: quellon-cli's failure and warning lines.
  returned: when quellon-cli ran
  type: list
  elements: str
start:
  description: When quellon-cli started.
  returned: when quellon-cli ran
  type: str
  sample: "2026-12-09 01:30:00.123456"
end:
  description: When quellon-cli ended.
  returned: when quellon-cli ran
  type: str
  sample: "2026-12-09 01:30:07.654321"
delta:
  description: How long it ran.
  returned: when quellon-cli ran
  type: str
  sample: "0:00:07.530865"
'''

import fnmatch
import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quellon.ibmi.plugins.module_utils.quellon_cli import (
    CONNECTION_MUTUALLY_EXCLUSIVE, CONNECTION_REQUIRED_IF, archive_password_args, check_connection,
    connection_args, connection_argument_spec, executable, expired_archives, file_size, read_archive,
    read_failure, run_job)

# Options that go to quellon-cli save as they are.
_VALUE_OPTIONS = (
    ('object', '--object'), ('object_type', '--type'), ('release', '--release'),
    ('command', '--command'), ('default_host', '--default-host'), ('default_user', '--default-user'),
    ('default_library', '--default-library'), ('poster', '--poster'), ('poster_link', '--poster-link'),
    ('owner', '--owner'))


def main():
    spec = connection_argument_spec()
    spec.update(
        archive=dict(type='path', required=True),
        library=dict(type='str', required=True),
        object=dict(type='str'),
        object_type=dict(type='str'),
        release=dict(type='str'),
        command=dict(type='str'),
        default_host=dict(type='str'),
        default_user=dict(type='str'),
        default_library=dict(type='str'),
        poster=dict(type='path'),
        poster_link=dict(type='str'),
        poster_stretch=dict(type='bool', default=False),
        owner=dict(type='str'),
        replace=dict(type='bool', default=False),
        keep=dict(type='int'),
        keep_pattern=dict(type='str'),
        encrypt=dict(type='bool', default=False),
        archive_password=dict(type='str', no_log=True),
    )
    module = AnsibleModule(
        argument_spec=spec,
        mutually_exclusive=CONNECTION_MUTUALLY_EXCLUSIVE,
        required_if=CONNECTION_REQUIRED_IF + [('encrypt', True, ('archive_password',))],
        required_by={'object_type': 'object'},
        required_together=[('keep', 'keep_pattern')],
        supports_check_mode=True,
    )
    check_connection(module)
    p = module.params
    archive = os.path.abspath(p['archive'])
    cli = executable(module)
    conn, env = connection_args(p)
    argv = [cli, 'save', archive] + conn + ['--library', p['library']]
    for name, flag in _VALUE_OPTIONS:
        if p[name]:
            argv += [flag, p[name]]
    if p['poster_stretch']:
        argv.append('--poster-stretch')
    if p['replace']:
        argv.append('--replace')
    if p['encrypt']:
        pw_args, pw_env = archive_password_args(p['archive_password'])
        argv += ['--encrypt'] + pw_args
        env.update(pw_env)
    result = dict(changed=False, archive=archive, host=p['host'], library=p['library'].upper(), cmd=argv)

    if os.path.isdir(archive):
        module.fail_json(msg='%s is a folder, not an archive' % archive, **result)
    if os.path.exists(archive) and not p['replace']:
        module.fail_json(msg='%s exists; replace: true overwrites it' % archive, **result)
    folder = os.path.dirname(archive)
    if p['keep'] is not None:
        if p['keep'] < 1:
            module.fail_json(msg='keep must be at least 1, the archive being saved', **result)
        if not fnmatch.fnmatchcase(os.path.basename(archive), p['keep_pattern']):
            module.fail_json(msg='keep_pattern %s does not match the archive %s' % (p['keep_pattern'], archive),
                             **result)
    if module.check_mode:
        result.update(changed=True, msg='would save %s from %s into %s' % (result['library'], p['host'], archive))
        if p['keep'] is not None:
            result['removed'] = expired_archives(folder, p['keep_pattern'], p['keep'], archive)
        module.exit_json(**result)

    if not os.path.isdir(folder):
        try:
            os.makedirs(folder)
        except OSError as e:
            module.fail_json(msg='cannot make the folder %s: %s' % (folder, e), **result)
    run, report = run_job(module, argv, env)
    result.update(run)
    failure = read_failure(result['stderr_lines'], report)
    for w in failure.pop('warnings'):
        module.warn(w)
    if result['rc'] != 0:
        # Written, yet a later host step failed: the archive is there.
        result['changed'] = failure.pop('done')
        if result['changed']:
            result['size'] = file_size(archive)
        result.update(failure)
        module.fail_json(**result)

    result['changed'] = True
    facts, bad = read_archive(module, cli, archive, p['archive_password'] if p['encrypt'] else None)
    if bad:
        module.fail_json(msg='%s was written but cannot be read back: %s' % (archive, bad['msg']), **result)
    result.update(
        size=file_size(archive),
        members=facts.pop('members'),
        archive_info=facts,
    )
    result['msg'] = 'saved %s from %s into %s (%s bytes)' % (result['library'], p['host'], archive, result['size'])
    if p['keep'] is not None:
        result['removed'] = []
        for old in expired_archives(folder, p['keep_pattern'], p['keep'], archive):
            try:
                os.unlink(old)
            except OSError as e:
                module.fail_json(msg='%s saved, but the old archive %s cannot be removed: %s' % (archive, old, e),
                                 **result)
            result['removed'].append(old)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
