#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: settings
short_description: Desired settings of one Lumora camera, or of every camera of a model
description:
  - Reads each named setting with C(lumora-cli get) and sets only those that differ with C(lumora-cli set).
  - A setting the camera's model does not offer, or a value it does not take, fails the host with the CLI's message.
  - In check mode only reads, nothing is sent to the camera. With C(--diff) the result shows before and after.
  - Presets move the camera to the preset's position to save it; pan, tilt and zoom given in I(values) are set again afterwards.
version_added: "1.0.0"
options:
  model:
    description: Every connected camera of this model, e.g. C(NV-Optica-4K-AI); none connected is not a failure.
    type: str
  values:
    description:
      - Settings by their CLI names and values, exactly as C(lumora-cli set NAME VALUE) takes them
        (vendor features such as C(tracking) or C(anti-flicker), and V4L2 controls such as C(brightness) or C(auto_exposure)).
      - "Applied in the order given, so C(tracking: off) can come before C(pan)."
    type: dict
    default: {}
  presets:
    description: Preset slots (1 to 9) and the C(pan), C(tilt) and C(zoom) each holds.
    type: dict
    default: {}
  restore:
    description: Whether the camera's remembered settings are applied when it is connected (C(lumora-cli restore on|off)).
    type: bool
extends_documentation_fragment:
  - lumora.cameras.common
  - lumora.cameras.common.SELECTOR
author: Lumora developers
'''

EXAMPLES = r'''
- name: Every room's 4K camera the same
  lumora.cameras.settings:
    model: NV-Optica-4K-AI
    values:
      anti-flicker: "50"
      brightness: 150
    presets:
      1: {pan: 0, tilt: 0, zoom: 200}
    restore: true
'''

RETURN = r'''
cameras:
  description: Each camera handled, with the settings that differed (C(before) and C(after)).
  returned: always
  type: list
  elements: dict
diff:
  description: Before and after of every setting that differed, by camera serial.
  returned: in diff mode
  type: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.lumora.cameras.plugins.module_utils.lumora_cli import (
    COMMON_ARGUMENTS, SELECTOR_ARGUMENTS, CliError, LumoraCli, selector_of)

POSITION = ('pan', 'tilt', 'zoom')
# How boolean controls (text "0"/"1") read the words the CLI takes for them.
SWITCH_WORDS = {'on': 1, 'true': 1, 'auto': 1, 'off': 0, 'false': 0, 'manual': 0}


def word(value):
    """A YAML value as the CLI takes it: YAML 1.1 reads on/off as booleans."""
    if isinstance(value, bool):
        return 'on' if value else 'off'
    return str(value).strip()


def shown(reading):
    """A `get` reading as a person would write it."""
    if reading.get('auto') is True:
        return 'auto'
    return reading.get('text', reading.get('value'))


def same(wanted, reading):
    wanted = word(wanted).lower()
    value, text = reading.get('value'), reading.get('text')
    if wanted == 'auto' and 'auto' in reading:
        return reading['auto'] is True
    if reading.get('auto') is True:
        return False
    if str(value).lower() == wanted:
        return True
    if text is not None:
        text = str(text).lower()
        if text in ('0', '1') and wanted in SWITCH_WORDS:
            return SWITCH_WORDS[wanted] == int(text)
        # Menu items by their first word: "manual" for "Manual Mode".
        return wanted == text or wanted == text.split(' ')[0]
    return False


def preset_slots(presets):
    """The presets as (slot, {pan, tilt, zoom}) in slot order; CliError on anything else."""
    slots = []
    for slot, position in presets.items():
        try:
            number = int(slot)
            wanted = dict((key, int(value)) for key, value in (position or {}).items())
        except (AttributeError, TypeError, ValueError):
            number, wanted = 0, {}
        if not 1 <= number <= 9 or not wanted or any(key not in POSITION for key in wanted):
            raise CliError('preset %s: slots are 1 to 9, each with whole numbers for pan, tilt and zoom' % slot, 2,
                           'lumora.cameras.settings')
        slots.append((number, wanted))
    return sorted(slots)


class Camera(object):
    def __init__(self, cli, listed, check_mode):
        self.cli = cli
        self.selector = selector_of(listed)
        self.name = listed.get('serial') or listed.get('node')
        self.check_mode = check_mode
        self.before = {}
        self.after = {}

    def differs(self, key, before, after):
        self.before[key] = before
        self.after[key] = after

    def values(self, values):
        for name, wanted in values.items():
            reading = self.cli.run(['get', name], self.selector)
            if same(wanted, reading):
                continue
            # Counted once the camera took it: a refused value changed nothing.
            if not self.check_mode:
                self.cli.run(['set', name, word(wanted)], self.selector)
            self.differs(name, shown(reading), word(wanted) if isinstance(wanted, bool) else wanted)

    def presets(self, slots, values):
        if not slots:
            return
        saved = dict((p.get('slot'), p) for p in self.cli.run(['preset', 'list'], self.selector).get('presets', []))
        moved = False
        for slot, wanted in slots:
            existing = saved.get(slot)
            held = existing.get('values', {}) if existing else {}
            if existing and all(held.get(key) == value for key, value in wanted.items()):
                continue
            if not self.check_mode:
                for key in POSITION:
                    if key in wanted:
                        self.cli.run(['set', key, str(wanted[key])], self.selector)
                moved = True
                name = existing.get('name') if existing else 'Preset %s' % slot
                self.cli.run(['preset', 'save', name, '--slot', str(slot)], self.selector)
            self.differs('preset %s' % slot, dict((k, held.get(k)) for k in wanted) if existing else None, wanted)
        # The position the play asked for, not the last preset's.
        for key in POSITION:
            if moved and key in values:
                self.cli.run(['set', key, word(values[key])], self.selector)

    def restore(self, wanted):
        if wanted is None:
            return
        current = bool(self.cli.run(['info'], self.selector).get('restore'))
        if current == wanted:
            return
        if not self.check_mode:
            self.cli.run(['restore', 'on' if wanted else 'off'], self.selector)
        self.differs('restore', current, wanted)


def main():
    arguments = dict(COMMON_ARGUMENTS)
    arguments.update(SELECTOR_ARGUMENTS)
    arguments.update(model=dict(type='str'), values=dict(type='dict', default={}), presets=dict(type='dict', default={}),
                     restore=dict(type='bool'))
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True,
                           mutually_exclusive=[('serial', 'port', 'index', 'model')],
                           required_one_of=[('serial', 'port', 'index', 'model')])
    cli = LumoraCli(module)
    p = module.params
    handled = []
    try:
        # Checked before any camera is touched.
        slots = preset_slots(p['presets'])
        for listed in cli.targets(p, with_model=True):
            camera = Camera(cli, listed, module.check_mode)
            handled.append(camera)
            camera.values(p['values'])
            camera.presets(slots, p['values'])
            camera.restore(p['restore'])
    except CliError as error:
        cli.fail(error, changed=any(c.after for c in handled) and not module.check_mode)
    result = dict(changed=any(c.after for c in handled),
                  cameras=[dict(camera=c.name, before=c.before, after=c.after) for c in handled])
    if module._diff:
        result['diff'] = dict(before=dict((c.name, c.before) for c in handled if c.after),
                              after=dict((c.name, c.after) for c in handled if c.after))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
