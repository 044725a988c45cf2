# -*- coding: utf-8 -*-
# Options every module of the collection takes, and the camera selectors.

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  profile:
    description: The profile of the cameras (0 or 1); the host's configured one when not given.
    type: int
  cli:
    description: Path of C(lumora-cli) on the host; found on C(PATH) when not given.
    type: path
'''

    SELECTOR = r'''
options:
  serial:
    description: The camera with this USB serial number.
    type: str
  port:
    description: The camera on this USB port path, e.g. C(1-1).
    type: str
  index:
    description: The camera with this number in C(lumora-cli list).
    type: int
'''
