#!/usr/bin/env python3
"""The built wakelet.exe read as a file: its version record and what it imports.

Usage: executable_test.py WAKELET_EXE   (needs Debian's python3-pefile)
"""
import sys
import unittest

import pefile

EXE = None

# DLLs that every Windows installation has.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "winmm.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}


class Executable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)
        cls.imports = {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports if i.name}
                       for entry in cls.pe.DIRECTORY_ENTRY_IMPORT}

    def test_is_a_64_bit_console_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])

    def test_version_record(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                          fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF), (0, 0, 5, 0))
        self.assertEqual((fixed.ProductVersionMS >> 16, fixed.ProductVersionMS & 0xFFFF,
                          fixed.ProductVersionLS >> 16, fixed.ProductVersionLS & 0xFFFF), (1, 0, 0, 0))
        strings = {}
        for info in self.pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        self.assertEqual(strings.get("ProductName"), "Wakelet")
        self.assertEqual(strings.get("FileVersion"), "0.0.5.0")
        self.assertEqual(strings.get("ProductVersion"), "1.0.0.0")

    def test_needs_no_dll_beside_it(self):
        self.assertLessEqual(set(self.imports), SYSTEM_DLLS,
                             "imports DLLs that Windows does not have (the MinGW runtime?)")

    def test_calls_the_systems_wave_output_and_sleep_directly(self):
        self.assertLessEqual({"waveOutOpen", "waveOutPrepareHeader", "waveOutWrite", "waveOutUnprepareHeader",
                              "waveOutClose"}, self.imports.get("winmm.dll", set()))
        self.assertLessEqual({"Sleep", "GetCommandLineW", "GetStdHandle", "WriteFile", "ReadFile"},
                             self.imports.get("kernel32.dll", set()))

    def test_installs_no_console_control_handler(self):
        # Ctrl-C and closing the window take the system's default action.
        for functions in self.imports.values():
            self.assertNotIn("SetConsoleCtrlHandler", functions)


if __name__ == "__main__":
    EXE = sys.argv[1]
    unittest.main(argv=[sys.argv[0], "-v"])
