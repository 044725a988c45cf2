# -*- coding: utf-8 -*-
# Running lumora-cli on the managed host and reading its JSON output (the
# JSON OUTPUT section of lumora-cli(1)); shared by the collection's modules.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json

# Options every module takes.
COMMON_ARGUMENTS = dict(
    cli=dict(type='path'),
    profile=dict(type='int'),
)

# How a module names one camera, or every camera of a model.
SELECTOR_ARGUMENTS = dict(
    serial=dict(type='str'),
    port=dict(type='str'),
    index=dict(type='int'),
)


class CliError(Exception):
    def __init__(self, message, rc, command):
        super(CliError, self).__init__(message)
        self.rc = rc
        self.command = command


class LumoraCli(object):
    def __init__(self, module):
        self.module = module
        self.path = module.params.get('cli') or module.get_bin_path('lumora-cli', required=True)
        self.profile = module.params.get('profile')

    def command(self, arguments, camera=None):
        cmd = [self.path]
        if self.profile is not None:
            cmd += ['--profile', str(self.profile)]
        cmd += list(arguments)
        if camera is not None:
            cmd += ['-c', str(camera)]
        return cmd + ['--json']

    def run(self, arguments, camera=None, allowed=(0,)):
        """The command's JSON object; CliError with the CLI's own message otherwise."""
        cmd = self.command(arguments, camera)
        rc, out, err = self.module.run_command(cmd)
        message = err.strip()
        if message.startswith('lumora-cli: '):
            message = message[len('lumora-cli: '):]
        try:
            result = json.loads(out) if out.strip() else None
        except ValueError:
            result = None
        if rc not in allowed or not isinstance(result, dict):
            raise CliError(message or 'lumora-cli exited with %d' % rc, rc, ' '.join(cmd))
        return result

    def fail(self, error, **result):
        self.module.fail_json(msg=str(error), rc=error.rc, cmd=error.command, **result)

    def cameras(self):
        return self.run(['list']).get('cameras', [])

    def targets(self, params, with_model=False):
        """The cameras the selector names, as `list` reports them; -c value is the serial, or the node."""
        cameras = self.cameras()
        keys = [key for key in ('serial', 'port', 'index', 'model') if params.get(key) is not None]
        if not keys:
            return cameras if with_model else []
        key = keys[0]
        chosen = [camera for camera in cameras if str(camera.get(key)) == str(params[key])]
        if not chosen and key != 'model':
            raise CliError('no camera with %s %s is connected' % (key, params[key]), 3, 'lumora-cli list')
        return chosen


def selector_of(camera):
    return camera.get('serial') or camera.get('node')


def version_tuple(version):
    parts = []
    for part in str(version).lstrip('Vv').split('.'):
        try:
            parts.append(int(part))
        except ValueError:
            return None
    return tuple(parts + [0] * (3 - len(parts)))
