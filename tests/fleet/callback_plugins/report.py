# -*- coding: utf-8 -*-
# The playbook's results as one JSON document on standard output, for the
# tests: plays in order, each with its tasks and each task's result per host.
# (ansible-core ships no such callback; ansible.posix's json is not installed.)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = '''
name: report
type: stdout
short_description: Every result as one JSON document
description: Plays, their tasks and each task's result per host, printed at the end.
'''

import json
import sys

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'stdout'
    CALLBACK_NAME = 'report'

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.plays = []

    def v2_playbook_on_play_start(self, play):
        self.plays.append({'play': {'name': play.get_name()}, 'tasks': []})

    def v2_playbook_on_task_start(self, task, is_conditional):
        self.plays[-1]['tasks'].append({'task': {'name': task.get_name()}, 'hosts': {}})

    def record(self, result, **extra):
        entry = dict(result._result)
        entry.update(extra)
        self.plays[-1]['tasks'][-1]['hosts'][result._host.get_name()] = entry

    def v2_runner_on_ok(self, result):
        self.record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.record(result, failed=True)

    def v2_runner_on_skipped(self, result):
        self.record(result, skipped=True)

    def v2_runner_on_unreachable(self, result):
        self.record(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        sys.stdout.write(json.dumps({'plays': self.plays}, default=str) + '\n')
