#!/usr/bin/env python3
"""Tests of the reliability scripts' own judgement: which valgrind logs are faults, how test
names become rows of the modes x transports table, what the load check counts as a failed run,
and that the generated document shows failures instead of hiding them."""
import importlib.machinery
import importlib.util
import os
import stat
import tempfile
import unittest

SCRIPTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load_script(name, file_name):
    loader = importlib.machinery.SourceFileLoader(name, os.path.join(SCRIPTS, file_name))
    module_info = importlib.util.spec_from_loader(name, loader)
    module = importlib.util.module_from_spec(module_info)
    loader.exec_module(module)
    return module


valgrind_log = load_script("valgrind_log", "valgrind_log.py")
reliability = load_script("reliability", "reliability")
load = load_script("load", "load")


class valgrind_logs(unittest.TestCase):
    def test_inherited_descriptors_and_unmodelled_ioctls_are_clean(self):
        log = """==7== Warning: noted but unhandled ioctl 0x540c with no size/direction hints.
==7==    This could cause spurious value errors to appear.
==7==    See README_MISSING_SYSCALL_OR_IOCTL for guidance on writing a proper wrapper.
==7== FILE DESCRIPTORS: 5 open (3 std) at exit.
==7== Open file descriptor 4: /tmp/kobrant.7.log
==7==    <inherited from parent>
==7== 
==7== Open file descriptor 3: /build/Testing/Temporary/LastTest.log.tmp
==7==    <inherited from parent>
==7== 
"""
        self.assertEqual(valgrind_log.faults(log), [])

    def test_a_socket_left_open_is_a_fault(self):
        log = """==7== FILE DESCRIPTORS: 4 open (3 std) at exit.
==7== Open file descriptor 5: socket:[1234]
==7==    at 0x4A1B2C: socket (syscall-template.S:120)
==7== 
"""
        self.assertTrue(valgrind_log.faults(log))

    def test_memory_errors_and_leaks_are_faults(self):
        for log in ("==9== Invalid read of size 4\n==9==    at 0x1: f (a.cpp:3)\n",
                    "==9== 16 bytes in 1 blocks are definitely lost in loss record 1 of 1\n",
                    "==9== Conditional jump or move depends on uninitialised value(s)\n"):
            self.assertTrue(valgrind_log.faults(log), log)


class table_rows(unittest.TestCase):
    def test_modes_come_from_words_that_start_a_word_of_the_name(self):
        self.assertEqual(reliability.modes_of("failures.a_stall_mid_answer_times_out"),
                         ["stall after part of an answer"])
        self.assertEqual(reliability.modes_of("vendor_visa.a_query_goes_to_the_installed_library"), [])
        self.assertEqual(reliability.modes_of("commands.every_buffer_size_around_the_command_length"), [])

    def test_a_test_of_two_modes_counts_in_both_rows(self):
        rows = reliability.modes_of("hislip_query.a_stall_or_a_drop_mid_answer_keeps_the_bytes")
        self.assertIn("stall after part of an answer", rows)
        self.assertIn("connection dropped mid-answer", rows)

    def test_a_drop_before_the_answer_is_not_also_a_drop_mid_answer(self):
        self.assertEqual(reliability.modes_of("hostile.drop_before_the_answer/socket"),
                         ["connection dropped before the answer"])

    def test_a_parameterised_hostile_test_names_its_mode_and_transport_last(self):
        name = ("transports_faults_sinks/hostile.the_run_ends_in_time_with_the_fault_named_and_the_bytes_kept/"
                "serial_reset_before_the_answer_to_file")
        self.assertEqual(reliability.modes_of(name), ["connection reset before the answer"])
        self.assertEqual(reliability.transport_of(name, "kobrant_e2e_test"), "serial")

    def test_the_transport_comes_from_the_name_then_from_the_program(self):
        self.assertEqual(reliability.transport_of("modes/hostile.stall/serial", "kobrant_e2e_test"), "serial")
        self.assertEqual(reliability.transport_of("failures.a_stall", "kobrant_e2e_test"), "socket")
        self.assertEqual(reliability.transport_of("vxi11_failures.x", "vxi11_e2e_test"), "vxi11")
        self.assertEqual(reliability.transport_of("faults/vxi11_hostile.ends/slow_drip", "vxi11_hostile_test"),
                         "vxi11")
        self.assertEqual(reliability.transport_of("silence_times_out", "kobrant_serial_e2e_test"), "serial")
        self.assertIsNone(reliability.transport_of("visa_core.x", "kobrant_unit_tests"))
        self.assertIsNone(reliability.program_transport("kobrant_sim_e2e_test"))

    def test_a_failed_test_shows_in_its_cell_and_in_the_document(self):
        tests = [
            {"name": "hostile.stall_mid_answer/hislip", "program": "kobrant_e2e_test", "passed": False},
            {"name": "hostile.stall_mid_answer/socket", "program": "kobrant_e2e_test", "passed": True},
            {"name": "visa_core.stall_in_a_unit_test", "program": "kobrant_unit_tests", "passed": True},
        ]
        matrix, _ = reliability.classify(tests)
        self.assertEqual(matrix, {"stall after part of an answer": {"hislip": [False], "socket": [True]}})
        text = reliability.md_hostile({"tests": tests})
        self.assertIn("| stall after part of an answer | held | **FAILED** (1 of 1) | — | — |", text)
        self.assertIn("- failed: `hostile.stall_mid_answer/hislip`", text)


class summaries(unittest.TestCase):
    def test_fuzz_lines_are_read_with_and_without_figures(self):
        out = ("== options: 300s\nfuzz options: 123456 executions in 301 s, 88 corpus entries, no findings\n"
               "fuzz vxi11: ? executions in ? s, 5 corpus entries, FAULT (input in /b/fuzz-artifacts)\n")
        self.assertEqual(reliability.parse_fuzz(out), [
            {"target": "options", "executions": 123456, "seconds": 301, "corpus": 88, "result": "no findings"},
            {"target": "vxi11", "executions": 0, "seconds": 0, "corpus": 5,
             "result": "FAULT (input in /b/fuzz-artifacts)"}])

    def test_the_fuzz_script_prints_the_line_the_report_reads(self):
        with open(os.path.join(SCRIPTS, "fuzz")) as f:
            self.assertIn('echo "fuzz $name: ${runs:-? executions in ? s}, $entries corpus entries, $result"',
                          f.read())

    def test_valgrind_summary(self):
        out = "100% tests passed, 0 tests failed out of 93\nvalgrind: 165 kobrant runs, 2 with errors, leaks\n"
        self.assertEqual(reliability.parse_valgrind(out), {"runs": 165, "bad": 2, "tests": 93, "tests_failed": 0})

    def test_load_figures_that_grew_are_called_out(self):
        sample = {"fds": 4, "rss_kb": 3000, "threads": 2}
        phase = {"phase": "sequential", "runs": 10, "ok": 9, "busy": 0, "failed": 1, "runs_per_s": 50.0,
                 "samples": {"start": sample, "middle": sample, "end": dict(sample, fds=14)}}
        library = {"sessions": 100, "failed": 0, "examples": [], "fds_before": 6, "fds_after": 7}
        text = reliability.md_load({"runs": 10, "jobs": 16, "seconds": 1, "results": [
            {"transport": "socket", "phases": [phase], "fds_returned": False, "rss_growth_kb": 0,
             "library": library}]})
        self.assertIn("| socket | sequential | 10 | 1 | 0 | 50 | 4 / 4 / 14 |", text)
        self.assertIn("socket: 1 failed runs, the simulator's descriptors **grew**", text)
        self.assertIn("its process's descriptors **grew**", text)
        self.assertIn("| socket | 100 | 0 | 6 / 7 |", text)


class load_runs(unittest.TestCase):
    """one_run against stand-in kobrant programs: only the exact echo with status 0 passes."""

    def fake_kobrant(self, body):
        path = os.path.join(self.dir.name, "kobrant")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
        return path

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def test_the_exact_echo_passes(self):
        # $2 is "/c=ECHO? token": the token is what follows "/c=ECHO? ".
        ok = self.fake_kobrant('printf "%s\\n" "${2#/c=ECHO? }"')
        self.assertEqual(load.one_run(ok, "TCPIP0::h::1::SOCKET", "t-1"), "ok")

    def test_another_runs_answer_or_extra_output_fails(self):
        for body in ('echo t-2', 'printf "%s\\n" "${2#/c=ECHO? }"; echo note >&2',
                     'printf "%s\\n" "${2#/c=ECHO? }"; exit 3', 'printf "%s" "${2#/c=ECHO? }"'):
            outcome = load.one_run(self.fake_kobrant(body), "TCPIP0::h::1::SOCKET", "t-1")
            self.assertNotIn(outcome, ("ok", "busy"), body)

    def test_a_busy_port_is_counted_apart(self):
        busy = self.fake_kobrant('echo "VISA Status (-1073807246): busy" >&2; exit 254')
        self.assertEqual(load.one_run(busy, "ASRL/dev/pts/3::INSTR", "t-1"), "busy")


if __name__ == "__main__":
    unittest.main()
