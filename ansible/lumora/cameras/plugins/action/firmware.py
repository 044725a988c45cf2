# -*- coding: utf-8 -*-
# The firmware module's package lives on the control node: copy it to the
# host's temporary folder, then run the module there on the copy.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):
    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        arguments = self._task.args.copy()
        if not arguments.get('package'):
            result.update(failed=True, msg='package is required: the firmware package (.zip) on the control node')
            return result
        try:
            source = self._find_needle('files', arguments['package'])
        except AnsibleError as error:
            result.update(failed=True, msg='package %s: %s' % (arguments['package'], error))
            return result
        if not self._connection._shell.tmpdir:
            self._make_tmp_path()
        try:
            copy = self._connection._shell.join_path(self._connection._shell.tmpdir, os.path.basename(source))
            self._transfer_file(source, copy)
            self._fixup_perms2((self._connection._shell.tmpdir, copy))
            arguments['package'] = copy
            result.update(self._execute_module(module_name='lumora.cameras.firmware', module_args=arguments,
                                               task_vars=task_vars))
        finally:
            self._remove_tmp_path(self._connection._shell.tmpdir)
        return result
