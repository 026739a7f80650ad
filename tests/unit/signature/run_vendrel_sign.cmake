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
macro(expect _cond _what)
  if(NOT (${_cond}))
    string(APPEND _failures "\n  ${_what}")
  endif()
endmacro()

# "hello" signed by PC7; the value was worked out apart from the program from the signature rule
# (the engine's "5:<md5>" text, the key stream of the fixed key, MD5 of the upper-case hex).
file(WRITE ${WORKDIR}/sign_hello.txt "hello")
run_sign(rc out err sign_hello.txt PC7)
expect("rc EQUAL 0" "hello/PC7: exit ${rc}, stderr '${err}'")
expect("out STREQUAL \"1bc4d6717a72f27cb6ddffcd0ea385ed\n\"" "hello/PC7: printed '${out}'")

# A signed text of exactly 511 bytes: 34 bytes of information and 477 of computer name.
string(REPEAT "N" 477 _name477)
run_sign(rc out err sign_hello.txt ${_name477})
expect("rc EQUAL 0" "511 bytes: exit ${rc}, stderr '${err}'")
expect("out STREQUAL \"3f993a98c1dd41115cc0bc15f1898471\n\"" "511 bytes: printed '${out}'")

# One byte more cannot be verified by the program, so it is not signed.
string(REPEAT "N" 478 _name478)
run_sign(rc out err sign_hello.txt ${_name478})
expect("NOT rc EQUAL 0" "512 bytes: exit 0")
expect("out STREQUAL \"\"" "512 bytes: printed '${out}'")
expect("NOT err STREQUAL \"\"" "512 bytes: no message")

file(REMOVE ${WORKDIR}/sign_missing.txt)
run_sign(rc out err sign_missing.txt PC7)
expect("NOT rc EQUAL 0" "missing file: exit 0")
expect("out STREQUAL \"\"" "missing file: printed '${out}'")
expect("NOT err STREQUAL \"\"" "missing file: no message")

run_sign(rc out err sign_hello.txt)
expect("NOT rc EQUAL 0" "one argument: exit 0")
expect("out STREQUAL \"\"" "one argument: printed '${out}'")

file(REMOVE ${WORKDIR}/sign_hello.txt)
if(_failures)
  message(FATAL_ERROR "vendrel-sign:${_failures}")
endif()
