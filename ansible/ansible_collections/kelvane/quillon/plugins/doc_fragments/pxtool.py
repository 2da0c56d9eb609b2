# -*- coding: utf-8 -*-
# Copyright: Kelvane Systems
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""What every module of the collection documents alike: the pxtool it runs, and its attributes."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  pxtool_path:
    description:
      - The pxtool program. Default C(pxtool) found on PATH, then in C(/usr/bin) and
        C(/usr/local/bin).
    type: path
attributes:
  diff_mode:
    support: none
  platform:
    platforms: posix
'''
