#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: Tamsholt
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: info
short_description: Show what a zipped save file (.4ql) or a bare save file (.savf) holds
version_added: 1.0.0
description:
  - Reads the archive's description record and its member list with C(quellon-cli info --json)
    on the machine the task runs on. Nothing is sent to any host and nothing changes.
author: Tamsholt
extends_documentation_fragment:
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
  archive:
    description: The archive (C(.4ql)) or bare save file (C(.savf)).
    type: path
    required: true
  archive_password:
    description:
      - The password of an encrypted archive (AES-256), handed to quellon-cli in an environment variable.
      - Without it an encrypted archive's description cannot be read.
    type: str
  executable:
    description: The quellon-cli to run (default the one in C(PATH) of the machine the task runs on).
    type: path
seealso:
  - module: quellon.ibmi.save
  - module: quellon.ibmi.restore
'''

EXAMPLES = r'''
- name: Read last night's archive
  quellon.ibmi.info:
    archive: /srv/backup/as400a/PAYROLL-2026-12-09.4ql
  register: payroll
  delegate_to: localhost

- name: Refuse an archive whose record does not check out
  ansible.builtin.assert:
    that:
      - payroll.saved_library == 'PAYROLL'
      - payroll.check_value_matches
'''

RETURN = r'''
archive:
  description: Absolute path of the archive.
  returned: always
  type: str
kind:
  description: C(4ql) for a zipped save file, C(savf) for a bare save file.
  returned: success
  type: str
saved_library:
  description: The library the archive holds.
  returned: success
  type: str
  sample: PAYROLL
size:
  description: Size of the file in bytes.
  returned: success
  type: int
members:
  description: The archive's members (empty for a bare save file).
  returned: success
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
format_version:
  description: Version of the archive's record format.
  returned: for a .4ql
  type: int
save_type:
  description: C(library) for a whole library, C(object) for objects of it (C(unknown) for a value this version does not know).
  returned: for a .4ql
  type: str
  sample: library
saved_object:
  description: For an object save, the object (a name, a generic name or C(*ALL)); null for a library save.
  returned: for a .4ql
  type: str
saved_object_type:
  description: For an object save, its type as saved; null for a library save.
  returned: for a .4ql
  type: str
save_time:
  description: When the host saved it, ISO 8601 with the zone's offset; null when the archive's text of it is not a time.
  returned: for a .4ql
  type: str
  sample: "2026-12-09T01:24:06+01:00"
save_time_text:
  description: The save time as the archive has it, in the words of the PC that made it.
  returned: for a .4ql
  type: str
saved_release:
  description: The target release of the save.
  returned: for a .4ql
  type: str
owner_name:
  description: Who made the archive.
  returned: for a .4ql
  type: str
target_command:
  description: The command the archive asks to run after a restore.
  returned: for a .4ql
  type: str
default_target_host:
  description: Host proposed for a restore.
  returned: for a .4ql
  type: str
default_user_profile:
  description: User profile proposed for a restore.
  returned: for a .4ql
  type: str
default_restore_library:
  description: Library proposed for a restore (C(*SAVLIB) for the saved library).
  returned: for a .4ql
  type: str
save_file_member:
  description: The member that holds the save file.
  returned: for a .4ql
  type: str
poster_file:
  description: The picture shown after a restore.
  returned: for a .4ql
  type: str
poster_link:
  description: The address the poster opens.
  returned: for a .4ql
  type: str
poster_stretch:
  description: Whether the poster is stretched.
  returned: for a .4ql
  type: bool
download_address:
  description: Where newer versions of Quellon are found.
  returned: for a .4ql
  type: str
check_value_matches:
  description: Whether the record's check value is right.
  returned: for a .4ql
  type: bool
msg:
  description: Why the archive could not be read.
  returned: on failure
  type: str
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quellon.ibmi.plugins.module_utils.quellon_cli import (
    executable, file_size, read_archive)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            archive=dict(type='path', required=True),
            executable=dict(type='path'),
            archive_password=dict(type='str', no_log=True),
        ),
        supports_check_mode=True,
    )
    archive = os.path.abspath(module.params['archive'])
    facts, bad = read_archive(module, executable(module), archive, module.params['archive_password'])
    if bad:
        bad.pop('warnings', None)
        bad.pop('done', None)
        module.fail_json(archive=archive, **bad)
    module.exit_json(changed=False, archive=archive, size=file_size(archive), **facts)


if __name__ == '__main__':
    main()
