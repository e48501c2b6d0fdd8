# Runs one test of nuvos_add_test: cmake -P on the script it generates, which
# sets run (nuvemu's command line), settings (the test's name, working
# directory, input file and expected status) and, when the output is
# compared, expected.
list(GET settings 0 name)
list(GET settings 1 dir)
list(GET settings 2 input)
list(GET settings 3 expected_status)

execute_process(COMMAND ${run} WORKING_DIRECTORY "${dir}" INPUT_FILE "${input}"
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)

set(failures "")
if(NOT status STREQUAL expected_status)
  string(APPEND failures "status ${status}, expected ${expected_status}\n")
endif()
if(DEFINED expected AND NOT output STREQUAL expected)
  string(APPEND failures "the output differs\n--- expected\n${expected}")
endif()
if(NOT failures STREQUAL "")
  string(JOIN " " command ${run})
  message(NOTICE "${command}\n${failures}--- got\n${output}--- standard error\n${errors}---")
  message(FATAL_ERROR "${name} failed")
endif()
