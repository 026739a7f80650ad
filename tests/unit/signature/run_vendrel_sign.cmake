# Runs vendrel-sign on files of known content and checks its exact output and exit status.
# -DRUNNER=<emulator, '|'-separated, may be empty> -DSIGN=<executable> -DWORKDIR=<directory>
# -DVERSION=<the package version>
string(REPLACE "|" ";" RUNNER "${RUNNER}")

function(run_sign OUT_RC OUT_STDOUT OUT_STDERR)
  execute_process(COMMAND ${RUNNER} ${SIGN} ${ARGN} WORKING_DIRECTORY ${WORKDIR}
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
  set(${OUT_RC} "${_rc}" PARENT_SCOPE)
  set(${OUT_STDOUT} "${_out}" PARENT_SCOPE)
  set(${OUT_STDERR} "${_err}" PARENT_SCOPE)
endfunction()

set(_failures "")
# A run that signs: exit 0 and exactly the signature and a line feed on standard output.
macro(expect_signature _what _expected)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "${_expected}\n")
    string(APPEND _failures "\n  ${_what}: exit ${rc}, printed '${out}', stderr '${err}'")
  endif()
endmacro()
# A run that refuses: a non-zero exit, nothing on standard output, a message on standard error.
macro(expect_refusal _what)
  if(rc EQUAL 0 OR NOT out STREQUAL "" OR err STREQUAL "")
    string(APPEND _failures "\n  ${_what}: exit ${rc}, printed '${out}', stderr '${err}'")
  endif()
endmacro()

# "hello" signed by PC7; the value was worked out apart from the program from the signature rule
# (the engine's "5:<md5>" text, the key stream of the fixed key, MD5 of the upper-case hex).
file(WRITE ${WORKDIR}/sign_hello.txt "hello")
run_sign(rc out err sign_hello.txt PC7)
expect_signature("hello/PC7" "1bc4d6717a72f27cb6ddffcd0ea385ed")

# A signed text of exactly 511 bytes: 34 bytes of information and 477 of computer name.
string(REPEAT "N" 477 _name477)
run_sign(rc out err sign_hello.txt ${_name477})
expect_signature("511 bytes" "3f993a98c1dd41115cc0bc15f1898471")

# One byte more cannot be verified by the program, so it is not signed.
string(REPEAT "N" 478 _name478)
run_sign(rc out err sign_hello.txt ${_name478})
expect_refusal("512 bytes")

file(REMOVE ${WORKDIR}/sign_missing.txt)
run_sign(rc out err sign_missing.txt PC7)
expect_refusal("missing file")

run_sign(rc out err sign_hello.txt)
expect_refusal("one argument")
if(NOT rc EQUAL 2 OR NOT err MATCHES "^usage: vendrel-sign FILE COMPUTERNAME\n")
  string(APPEND _failures "\n  one argument: exit ${rc} (not 2), stderr '${err}'")
endif()

# What an administrator asks first: usage on standard output, the version, exit 0; nothing on
# standard error.
run_sign(rc out err --help)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^usage: vendrel-sign FILE COMPUTERNAME\n" OR
   NOT err STREQUAL "")
  string(APPEND _failures "\n  --help: exit ${rc}, printed '${out}', stderr '${err}'")
endif()
run_sign(rc out err --version)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "vendrel-sign ${VERSION}\n" OR NOT err STREQUAL "")
  string(APPEND _failures "\n  --version: exit ${rc}, printed '${out}', stderr '${err}'")
endif()
# An unknown option, and no arguments at all: usage on standard error, exit 2.
foreach(_args "--bogus" "-h" "")
  if(_args STREQUAL "")
    run_sign(rc out err)
  else()
    run_sign(rc out err ${_args})
  endif()
  if(NOT rc EQUAL 2 OR NOT out STREQUAL "" OR NOT err MATCHES "usage: vendrel-sign FILE COMPUTERNAME")
    string(APPEND _failures "\n  '${_args}': exit ${rc}, printed '${out}', stderr '${err}'")
  endif()
endforeach()
if(NOT err MATCHES "^usage:")
  string(APPEND _failures "\n  no arguments: the usage alone, not '${err}'")
endif()
# Only as the sole argument: with a computer name, "--help" is a file name like any other.
file(WRITE ${WORKDIR}/--version "hello")
run_sign(rc out err --version PC7)
expect_signature("a file named --version" "1bc4d6717a72f27cb6ddffcd0ea385ed")
file(REMOVE ${WORKDIR}/--version)
run_sign(rc out err --help PC7)
expect_refusal("a missing file named --help")
if(NOT rc EQUAL 1)
  string(APPEND _failures "\n  a missing file named --help: exit ${rc}, not 1")
endif()

file(REMOVE ${WORKDIR}/sign_hello.txt)
if(_failures)
  message(FATAL_ERROR "vendrel-sign:${_failures}")
endif()
