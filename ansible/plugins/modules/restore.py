#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: Tamsholt
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: restore
short_description: Restore a zipped save file (.4ql) or a bare save file (.savf) on an IBM i host
version_added: 1.0.0
description:
  - Uploads the save file of I(archive) and restores it on the host, by running
    C(quellon-cli restore) on the machine the task runs on (the controller or a delegate).
  - Before anything is sent, the archive is read on that machine; one that cannot be read
    fails the task there.
  - When the archive asks for a command after the restore and that command fails, the task
    fails with I(changed=true), since the library is there and only the command is not done.
  - In check mode nothing is sent to the host; the task reads the archive and reports which
    library it would restore into.
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
  archive_password:
    description:
      - The password of an encrypted archive (AES-256), handed to quellon-cli in an environment variable.
      - A wrong password fails before anything is sent to the host.
    type: str
  archive:
    description: The archive (C(.4ql)) or bare save file (C(.savf)) to restore, on the machine the task runs on.
    type: path
    required: true
  to_library:
    description: The library to restore into (default the archive's proposal, usually the saved library).
    type: str
  create_library:
    description: Create I(to_library) on the host first.
    type: bool
    default: false
  saved_library:
    description: The library a bare save file was saved from (default read from the save file).
    type: str
seealso:
  - module: quellon.ibmi.save
  - module: quellon.ibmi.info
'''

EXAMPLES = r'''
- name: Restore last night's PAYROLL on the test host as PAYTEST
  quellon.ibmi.restore:
    host: testhost.example.com
    user: QSECOFR
    password: "{{ vault_ibmi_password }}"
    archive: /srv/backup/as400a/PAYROLL-2026-12-09.4ql
    to_library: PAYTEST
    create_library: true
  delegate_to: localhost
'''

RETURN = r'''
archive:
  description: Absolute path of the archive.
  returned: always
  type: str
host:
  description: The host restored on.
  returned: always
  type: str
library:
  description: The library restored into, in upper case.
  returned: when the archive could be read
  type: str
  sample: PAYTEST
saved_library:
  description: The library the archive holds.
  returned: when the archive could be read
  type: str
  sample: PAYROLL
msg:
  description: What was done, or the failure with the host's reason.
  returned: always
  type: str
rc:
  description: Exit status of quellon-cli (0 success, 1 failed, 2 wrong usage, 130 or 143 stopped by a signal).
  returned: when quellon-cli ran
  type: int
stage:
  description: The step that failed first.
  returned: on failure
  type: str
reason:
  description: The host's reason lines under the failed step.
  returned: on failure
  type: list
  elements: str
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
end:
  description: When quellon-cli ended.
  returned: when quellon-cli ran
  type: str
delta:
  description: How long it ran.
  returned: when quellon-cli ran
  type: str
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quellon.ibmi.plugins.module_utils.quellon_cli import (
    CONNECTION_MUTUALLY_EXCLUSIVE, CONNECTION_REQUIRED_IF, archive_password_args, check_connection,
    connection_args, connection_argument_spec, executable, read_archive, read_failure, restore_library, run_job)


def main():
    spec = connection_argument_spec()
    spec.update(
        archive=dict(type='path', required=True),
        to_library=dict(type='str'),
        create_library=dict(type='bool', default=False),
        saved_library=dict(type='str'),
        archive_password=dict(type='str', no_log=True),
    )
    module = AnsibleModule(
        argument_spec=spec,
        mutually_exclusive=CONNECTION_MUTUALLY_EXCLUSIVE,
        required_if=CONNECTION_REQUIRED_IF,
        supports_check_mode=True,
    )
    check_connection(module)
    p = module.params
    archive = os.path.abspath(p['archive'])
    cli = executable(module)
    conn, env = connection_args(p)
    argv = [cli, 'restore', archive] + conn
    if p['to_library']:
        argv += ['--to-library', p['to_library']]
    if p['create_library']:
        argv.append('--create-library')
    if p['saved_library']:
        argv += ['--saved-library', p['saved_library']]
    pw_args, pw_env = archive_password_args(p['archive_password'])
    argv += pw_args
    env.update(pw_env)
    result = dict(changed=False, archive=archive, host=p['host'], cmd=argv)

    # Read here first: a file that is not an archive fails before sign-on,
    # and check mode can say what would happen.
    facts, bad = read_archive(module, cli, archive, p['archive_password'])
    if bad and not (p['saved_library'] and archive.endswith('.savf')):
        module.fail_json(msg=bad['msg'], **result)
    facts = facts or {}
    saved = (p['saved_library'] or facts.get('saved_library') or '').upper()
    if p['to_library']:
        target = p['to_library'].upper()
    elif facts.get('kind') == '4ql':
        target = restore_library(facts)
    else:
        target = saved
    result.update(library=target, saved_library=saved)
    if module.check_mode:
        result.update(changed=True, msg='would restore %s into %s on %s' % (saved, target, p['host']))
        module.exit_json(**result)

    run, report = run_job(module, argv, env)
    result.update(run)
    if report:
        # What quellon-cli settled on is what happened.
        result['library'] = (report.get('to_library') or target).upper()
        result['saved_library'] = (report.get('saved_library') or saved).upper()
    failure = read_failure(result['stderr_lines'], report)
    for w in failure.pop('warnings'):
        module.warn(w)
    if result['rc'] != 0:
        result['changed'] = failure.pop('done')
        result.update(failure)
        module.fail_json(**result)
    result.update(changed=True, msg='restored %s into %s on %s' % (result['saved_library'], result['library'],
                                                                   p['host']))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
