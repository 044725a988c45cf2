#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: info
short_description: Cameras, update drives and readiness of a Lumora host
description:
  - Runs C(lumora-cli list --json) and C(lumora-cli doctor --json) on the managed host and returns what they report.
  - Changes nothing; runs in check mode as well.
version_added: "1.0.0"
extends_documentation_fragment:
  - lumora.cameras.common
author: Lumora developers
'''

EXAMPLES = r'''
- name: What each room has
  lumora.cameras.info:
  register: room

- ansible.builtin.debug:
    msg: "{{ room.cameras | map(attribute='firmware') | list }}"
'''

RETURN = r'''
cameras:
  description: Every camera of the profile, in the order C(lumora-cli list) numbers them.
  returned: always
  type: list
  elements: dict
  contains:
    index: {description: The camera's number for C(-c), type: int}
    serial: {description: USB serial number (empty when it has none), type: str}
    model: {description: Model name, type: str}
    port: {description: USB port path, e.g. C(1-1), type: str}
    node: {description: Video node, type: str}
    firmware: {description: Firmware version, type: str}
    profile: {description: Profile of the camera, type: int}
update_drives:
  description: Cameras waiting in an update state.
  returned: always
  type: list
  elements: dict
  contains:
    node: {description: Disk node, type: str}
    state: {description: C(ROM), C(Updater), C(u-Boot) or C(none), type: str}
    port: {description: USB port path, type: str}
ready:
  description: Whether C(lumora-cli doctor) finds the host ready.
  returned: always
  type: bool
checks:
  description: Doctor's checks, each with subject, check, verdict, detail and fix.
  returned: always
  type: list
  elements: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.lumora.cameras.plugins.module_utils.lumora_cli import (
    COMMON_ARGUMENTS, CliError, LumoraCli)

CAMERA_FIELDS = ('index', 'serial', 'model', 'port', 'node', 'firmware', 'profile')


def main():
    module = AnsibleModule(argument_spec=dict(COMMON_ARGUMENTS), supports_check_mode=True)
    cli = LumoraCli(module)
    try:
        listed = cli.run(['list'])
        # doctor exits 1 (not ready) or 3 (nothing connected) with its report.
        doctor = cli.run(['doctor'], allowed=(0, 1, 3))
    except CliError as error:
        cli.fail(error)
    cameras = [dict((key, camera.get(key)) for key in CAMERA_FIELDS) for camera in listed.get('cameras', [])]
    drives = [dict((key, drive.get(key)) for key in ('node', 'state', 'port')) for drive in listed.get('updateDrives', [])]
    module.exit_json(changed=False, cameras=cameras, update_drives=drives, ready=bool(doctor.get('ready')),
                     checks=doctor.get('checks', []))


if __name__ == '__main__':
    main()
