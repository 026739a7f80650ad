# Runs vendrel-sign on files of known content and checks its exact output and exit status.
# -DRUNNER=<emulator, '|'-separated, may be empty> -DSIGN=<executable> -DWORKDIR=<directory>
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

file(REMOVE ${WORKDIR}/sign_hello.txt)
if(_failures)
  message(FATAL_ERROR "vendrel-sign:${_failures}")
endif()
