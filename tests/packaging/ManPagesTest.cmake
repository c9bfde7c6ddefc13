# Renders each manual page in PAGES_DIR as man and lintian do, and fails on any warning;
# checks that lexgrog reads each NAME section; and checks that the pages of lockhub,
# lockctl and locksim name every option (and command) of the programs' usage texts, so
# that a new option cannot go undocumented. LOCKHUB, LOCKCTL, LOCKSIM: the programs;
# EMULATOR: the words that run a program of a cross build, empty natively.

set(pages lockhub.8 lockhub.json.5 lockctl.1 locksim.1 logtrim.8)
set(failures "")

function(fail text)
  set(failures "${failures}${text}\n" PARENT_SCOPE)
endfunction()

foreach(tool man groff lexgrog)
  find_program(${tool}_program ${tool})
  if(NOT ${tool}_program)
    message(FATAL_ERROR "${tool} is not installed (packages man-db and groff-base)")
  endif()
endforeach()

# Runs a command that must exit 0 and print nothing on standard error; its standard output
# goes to out_var.
function(run_quiet out_var)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE errors INPUT_FILE /dev/null TIMEOUT 30)
  if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
    string(REPLACE ";" " " command "${ARGN}")
    fail("${command}\n  exit status ${result}, standard error:\n${errors}")
  endif()
  set(failures "${failures}" PARENT_SCOPE)
  set(${out_var} "${output}" PARENT_SCOPE)
endfunction()

foreach(page ${pages})
  set(file "${PAGES_DIR}/${page}")
  # What lintian runs (manpage-has-errors-from-man), and the stricter groff warnings.
  run_quiet(ignored ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80
            ${man_program} --warnings -E UTF-8 -l -Tutf8 -Z ${file})
  run_quiet(ignored ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8
            ${groff_program} -man -ww -z ${file})
  # whatis and apropos find a page by its NAME line: "name - description"; man by the
  # section its .TH line names.
  string(REGEX MATCH "^(.*)\\.([1-9])$" ignored "${page}")
  set(name "${CMAKE_MATCH_1}")
  set(section "${CMAKE_MATCH_2}")
  file(STRINGS "${file}" title REGEX "^\\.TH " LIMIT_COUNT 1)
  if(NOT title MATCHES "^\\.TH [^ ]+ ${section} ")
    fail("${page} has no title line of section ${section}: '${title}'")
  endif()
  run_quiet(whatis ${lexgrog_program} ${file})
  string(FIND "${whatis}" "${file}: \"${name} - " at)
  if(NOT at EQUAL 0)
    fail("lexgrog does not read '${name} - ...' in ${page}: ${whatis}")
  endif()
endforeach()

separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")

# The page's text with roff's escaped hyphens as they print.
function(read_page page out_var)
  file(READ "${PAGES_DIR}/${page}" text)
  string(REPLACE "\\-" "-" text "${text}")
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# The words listed as "  word ..." lines below the usage text's line starting with heading.
function(listed_words usage heading out_var)
  string(REGEX MATCH "\n${heading}[^\n]*\n(  [^\n]*\n)+" block "${usage}")
  string(REGEX MATCHALL "\n  [a-z0-9-]+" words "${block}")
  list(TRANSFORM words REPLACE "^\n  " "")
  if(words STREQUAL "")
    fail("no '${heading}' list in the usage text:\n${usage}")
  endif()
  set(failures "${failures}" PARENT_SCOPE)
  set(${out_var} "${words}" PARENT_SCOPE)
endfunction()

# Every --option of usage appears in the page.
function(check_options page usage)
  read_page(${page} text)
  string(REGEX MATCHALL "--[a-z][a-z0-9-]*" options "${usage}")
  list(REMOVE_DUPLICATES options)
  foreach(option ${options})
    if(NOT text MATCHES "${option}([^a-z0-9-]|$)")
      fail("${page} does not name ${option} of the usage text")
    endif()
  endforeach()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

# Every command in words is a tag of the page's COMMANDS section.
function(check_commands page words)
  read_page(${page} text)
  string(REGEX MATCH "\n\\.SH COMMANDS\n.*" section "${text}")
  string(REGEX REPLACE "(.)\n\\.SH .*" "\\1" section "${section}")
  foreach(word ${words})
    if(NOT section MATCHES "\n\\.TP\n\\.[BIR]+ [^\n]*${word}([ \n,]|$)")
      fail("${page} lists no command ${word} under COMMANDS")
    endif()
  endforeach()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

run_quiet(usage ${emulator} ${LOCKHUB} --help)
check_options(lockhub.8 "${usage}")

run_quiet(usage ${emulator} ${LOCKSIM} --help)
check_options(locksim.1 "${usage}")
listed_words("${usage}" "Commands on standard input" commands)
check_commands(locksim.1 "${commands}")

run_quiet(usage ${emulator} ${LOCKCTL} --help)
listed_words("${usage}" "Commands:" commands)
check_commands(lockctl.1 "${commands}")
foreach(command ${commands})
  run_quiet(command_usage ${emulator} ${LOCKCTL} ${command} --help)
  string(APPEND usage "${command_usage}")
endforeach()
check_options(lockctl.1 "${usage}")

list(LENGTH commands count)
if(count LESS 10)
  fail("lockctl --help listed only the commands '${commands}'")
endif()
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${failures}")
endif()
