# -*- coding: utf-8 -*-
# Copyright: Tamsholt
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):

    # How the save and restore modules reach an IBM i host: the options of
    # quellon-cli save and restore.
    DOCUMENTATION = r'''
options:
  host:
    description:
      - Host name or address of the IBM i host (its FTP server; its SSH server with I(transport=ssh)).
      - Usually C({{ ansible_host }}), since the task runs on the controller or a delegate, not on the host.
    type: str
    required: true
  port:
    description:
      - Port of the host's FTP or SSH server.
      - Default 21, 990 with I(tls=implicit), 22 with I(transport=ssh).
    type: int
  user:
    description: OS/400 user profile to sign on with.
    type: str
    required: true
  password:
    description:
      - Password of I(user). Handed to quellon-cli in its environment, never on a command line,
        and kept out of Ansible's output and logs.
      - Keep it in Ansible Vault.
      - Over FTP one of I(password) and I(password_file) is required; over SSH the keys of the
        SSH agent and C(~/.ssh) are tried first.
    type: str
  password_file:
    description: A file whose first line is the password, on the machine the task runs on.
    type: path
  transport:
    description:
      - How the host is reached. C(ssh) goes through the host's SSH server (IBM's OpenSSH for i)
        for hosts whose FTP server is off.
    type: str
    choices: [ftp, ssh]
    default: ftp
  passive:
    description: Open the FTP data connections from here (EPSV, else PASV), for firewalls and NAT.
    type: bool
    default: false
  tls:
    description:
      - FTP over TLS. C(explicit) sends AUTH TLS on the normal port, C(implicit) speaks TLS from
        the first byte (port 990 unless I(port)).
      - A host that refuses TLS is never signed on in the clear.
    type: str
    choices: [none, explicit, implicit]
    default: none
  tls_fingerprint:
    description:
      - Trust exactly the host certificate with this SHA-256 fingerprint (64 hex digits, colons
        optional), for hosts whose certificate no trusted authority signed. Needs I(tls).
    type: str
  tls_ca:
    description: PEM file of further trusted certificate authorities. Needs I(tls).
    type: path
  proxy:
    description: FTP proxy; the user is sent as USER@HOST.
    type: str
  proxy_port:
    description: Port of the FTP proxy (default 21).
    type: int
  ssh_library:
    description:
      - With I(transport=ssh), the library that holds the save file while the job runs
        (default QGPL); the save file is deleted at the end.
    type: str
  host_key:
    description:
      - With I(transport=ssh), trust this host key (C(SHA256:...) as C(ssh-keygen -l) shows it)
        when C(~/.ssh/known_hosts) has none for the host, and add it there. A known key is never
        replaced.
    type: str
  timeout:
    description:
      - Milliseconds allowed for the host lookup, the connection, each reply and a stalled
        transfer (quellon-cli's default 60000; C(0) for no limit).
      - Host commands such as the SAVLIB of a big library take as long as they need.
    type: int
  ignore_host_errors:
    description:
      - Go on after a failing host step, as Ignore in the wizard does. The task still fails when
        a step failed.
    type: bool
    default: false
  executable:
    description: The quellon-cli to run (default the one in C(PATH) of the machine the task runs on).
    type: path
'''
