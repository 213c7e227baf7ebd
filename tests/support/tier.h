#pragma once
// The test tier a test process runs under, as CTest labels it (tests/CMakeLists.txt
// sets BRIXMOOR_TEST_TIER for every test it registers): "unit" may open no inet
// socket and start no process, "loopback" may use sockets but start no peer,
// "peers" and "crash" may do anything. Unset (a test executable run by hand)
// allows everything.

#include <string>

namespace bm::test {

// The tier from the environment, "" when unset.
const std::string& CurrentTier();

// Starts enforcing the tier for the tests that run from now on (test main
// only, after InitGoogleTest).
void EnforceTier();

// True when a skipped test is a failure: CI set (non-empty) and the tier
// "peers" or "crash".
bool SkipsFail();

// Fails the running test when its tier forbids starting `program` (an
// absolute path): in "unit" every program, in "loopback" every program but
// the openssl command line tool (which only makes the test certificate).
// Any thread.
void CheckTierAllowsProgram(const std::string& program);

// Ends the test run: when SkipsFail(), a skipped test is a failure (it hides
// a peer the run was meant to have) and gtest's printer does not call it
// skipped. Otherwise every skipped test prints one line
// "brixmoor-test: skipped (<reason>)", which scripts/run-ctest sums up.
// Returns the process's exit code given RUN_ALL_TESTS()'s.
int FinishRun(int gtestResult);

// Fails the running test (once) for what its tier forbids; a no-op before
// EnforceTier() and outside a test. Any thread.
void Breach(const std::string& what);

} // namespace bm::test
