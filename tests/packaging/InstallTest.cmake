# Installs the build BUILD_DIR into the empty prefix PREFIX and checks what is there:
# the programs (and that they run from there), the systemd unit naming them by their
# installed paths, the example configuration (which the installed lockhub accepts), the
# user guide and the Prometheus files. EMULATOR: the words that run a program of a cross
# build (see tests/CMakeLists.txt), empty natively.

function(fail text)
  message(FATAL_ERROR "${text}")
endfunction()

# Runs a command; fails unless it exits 0. Its standard output goes to out_var.
function(run_ok out_var)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE errors INPUT_FILE /dev/null TIMEOUT 30)
  if(NOT result EQUAL 0)
    fail("${ARGN} gave ${result}: ${output}${errors}")
  endif()
  set(${out_var} "${output}" PARENT_SCOPE)
endfunction()

separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")

file(REMOVE_RECURSE "${PREFIX}")
run_ok(ignored "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}")

set(unit "${PREFIX}/lib/systemd/system/lockhub.service")
set(docs "${PREFIX}/share/doc/lockhub")
foreach(file bin/lockhub bin/logtrim bin/lockctl bin/locksim lib/systemd/system/lockhub.service
        share/doc/lockhub/lockhub.json share/doc/lockhub/README.md
        share/lockhub/prometheus/lockhub.rules.yml share/lockhub/prometheus/prometheus.yml
        share/lockhub/prometheus/lockhub.dashboard.json)
  if(NOT EXISTS "${PREFIX}/${file}" OR IS_DIRECTORY "${PREFIX}/${file}")
    fail("${file} was not installed")
  endif()
endforeach()

run_ok(version ${emulator} "${PREFIX}/bin/lockhub" --ver)
if(NOT version STREQUAL "2.18.1\n")
  fail("installed lockhub --ver printed '${version}'")
endif()
run_ok(ignored ${emulator} "${PREFIX}/bin/lockctl" --help)
run_ok(ignored ${emulator} "${PREFIX}/bin/locksim" --help)
run_ok(check ${emulator} "${PREFIX}/bin/lockhub" --check-config "${docs}/lockhub.json")
# logtrim has no information option; it must at least be executable.
execute_process(COMMAND test -x "${PREFIX}/bin/logtrim" RESULT_VARIABLE executable)
if(NOT executable EQUAL 0)
  fail("logtrim is not executable")
endif()

file(READ "${unit}" text)
foreach(expected
    "ExecStart=/bin/bash -c 'exec ${PREFIX}/bin/lockhub --configFile /etc/lockhub/lockhub.json"
    "> >(exec ${PREFIX}/bin/logtrim -f /var/log/lockhub/lockhub.log"
    "Type=notify\nWatchdogSec=30\nExecReload=/bin/kill -USR1 $MAINPID\n"
    "KillMode=mixed"
    "file://${docs}/README.md"
    "Restart=always")
  string(FIND "${text}" "${expected}" at)
  if(at EQUAL -1)
    fail("the unit lacks '${expected}':\n${text}")
  endif()
endforeach()
if(text MATCHES "@[A-Z_]+@")
  fail("the unit has an unfilled placeholder:\n${text}")
endif()

file(REMOVE_RECURSE "${PREFIX}")
