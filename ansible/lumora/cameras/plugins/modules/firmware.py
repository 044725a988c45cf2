#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: firmware
short_description: Firmware of one Lumora camera, from a package on the control node
description:
  - Copies I(package) from the control node to the host and checks it against the camera first
    (C(lumora-cli check-package)); a package for another model fails before anything is written to the camera.
  - The package is kept on the host under C(~/.cache/lumora/packages/), so the rescue command a failure names finds it.
  - Nothing happens when the camera already runs the package's version. An older version is refused unless
    I(allow_downgrade) is set.
  - Upgrades with C(lumora-cli upgrade). When the camera does not come back, the host fails with the exact
    command that rescues it.
  - With I(rescue), flashes the camera waiting in an update state on USB port I(port) (C(lumora-cli rescue)).
  - In check mode only the package's verdict runs.
  - The upgrade itself runs on the host the camera is plugged into; it takes about a minute on a real camera.
version_added: "1.0.0"
options:
  package:
    description: Path of the firmware package (.zip) on the control node; a relative path is looked up in the role's or play's C(files).
    type: path
    required: true
  serial:
    description: The camera with this USB serial number.
    type: str
  port:
    description: The camera on this USB port path; with I(rescue), the port of the waiting update drive.
    type: str
  index:
    description: The camera with this number in C(lumora-cli list).
    type: int
  allow_downgrade:
    description: Whether a package older than the camera's firmware may be installed.
    type: bool
    default: false
  rescue:
    description: Flash the camera waiting in an update state on I(port) instead of a working camera.
    type: bool
    default: false
extends_documentation_fragment:
  - lumora.cameras.common
author: Lumora developers
'''

EXAMPLES = r'''
- name: Firmware 2.0.0 on the room's 4K camera
  lumora.cameras.firmware:
    serial: QX4K00017
    package: files/fw-4k-2.0.0.zip

- name: Rescue the camera an interrupted upgrade left on port 1-1
  lumora.cameras.firmware:
    port: "1-1"
    package: files/fw-4k-2.0.0.zip
    rescue: true
'''

RETURN = r'''
from:
  description: Firmware version before.
  returned: when the camera's version is known
  type: str
to:
  description: Firmware version after (in check mode, the package's).
  returned: when the camera's version is known
  type: str
model:
  description: The model the package is for.
  returned: always
  type: str
rescue:
  description: The command that rescues a camera the upgrade left in an update state.
  returned: on failure, when the camera did not come back
  type: str
'''

import os
import shutil

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.lumora.cameras.plugins.module_utils.lumora_cli import (
    COMMON_ARGUMENTS, SELECTOR_ARGUMENTS, CliError, LumoraCli, selector_of, version_tuple)


def kept(package):
    """A copy of the package that outlives the task: the rescue command a failure names must find it."""
    folder = os.path.join(os.environ.get('XDG_CACHE_HOME') or os.path.expanduser('~/.cache'), 'lumora', 'packages')
    if not os.path.isdir(folder):
        os.makedirs(folder)
    copy = os.path.join(folder, os.path.basename(package))
    shutil.copyfile(package, copy)
    return copy


def flashed(module, cli, command, package, selector=None, **known):
    """Runs upgrade or rescue; exits with from/to, or fails with the report and the rescue command."""
    outcome = cli.run([command, kept(package)], selector, allowed=(0, 1, 130))
    if not outcome.get('success'):
        extra = dict(rescue=outcome['rescue']) if 'rescue' in outcome else {}
        module.fail_json(msg=outcome.get('report', 'the upgrade failed'), changed=True, **dict(known, **extra))
    result = dict(known, changed=True)
    result['from'] = outcome.get('from', known.get('from'))
    result['to'] = outcome.get('to', known.get('to'))
    result['msg'] = outcome.get('report', '')
    return result


def rescue(module, cli, p):
    drives = [d for d in cli.run(['list']).get('updateDrives', []) if d.get('port') == p['port']]
    if not drives:
        raise CliError('no camera waits in an update state on USB port %s' % p['port'], 3, 'lumora-cli list')
    verdict = cli.run(['check-package', p['package']])
    known = dict(model=verdict.get('model'), to=verdict.get('version'))
    if module.check_mode:
        return dict(known, changed=True, msg='would rescue the camera on USB port %s' % p['port'])
    return flashed(module, cli, 'rescue', p['package'], **known)


def upgrade(module, cli, p):
    targets = cli.targets(p)
    if len(targets) != 1:
        raise CliError('name one camera with serial, port or index', 2, 'lumora-cli list')
    camera = targets[0]
    selector = selector_of(camera)
    verdict = cli.run(['check-package', p['package']], selector)
    current, version = camera.get('firmware', ''), verdict.get('version', '')
    known = dict(model=verdict.get('model'), camera=camera.get('serial') or camera.get('node'))
    known['from'] = current
    known['to'] = version
    have, want = version_tuple(current), version_tuple(version)
    diff = dict(before=dict(firmware=current), after=dict(firmware=version))
    if have is not None and have == want:
        return dict(known, changed=False, msg='the camera already runs %s' % version)
    if have is not None and want is not None and want < have and not p['allow_downgrade']:
        module.fail_json(msg='the package holds %s, older than the camera\'s %s: a downgrade needs allow_downgrade: true'
                         % (version, current), changed=False, **known)
    if module.check_mode:
        return dict(known, changed=True, diff=diff, msg='would upgrade %s to %s' % (current, version))
    result = flashed(module, cli, 'upgrade', p['package'], selector, **known)
    result['diff'] = diff
    return result


def main():
    arguments = dict(COMMON_ARGUMENTS)
    arguments.update(SELECTOR_ARGUMENTS)
    arguments.update(package=dict(type='path', required=True), allow_downgrade=dict(type='bool', default=False),
                     rescue=dict(type='bool', default=False))
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True,
                           mutually_exclusive=[('serial', 'port', 'index')],
                           required_one_of=[('serial', 'port', 'index')],
                           required_if=[('rescue', True, ('port',))])
    cli = LumoraCli(module)
    try:
        result = rescue(module, cli, module.params) if module.params['rescue'] else upgrade(module, cli, module.params)
    except CliError as error:
        cli.fail(error)
    if not module._diff:
        result.pop('diff', None)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
