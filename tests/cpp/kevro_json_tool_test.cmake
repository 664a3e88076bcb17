# Runs kevro-json on a few inputs and checks its output streams and exit status.
# Usage: cmake -DTOOL=path/to/kevro-json -DWORK=scratch/dir -P kevro_json_tool_test.cmake
file(MAKE_DIRECTORY "${WORK}")
set(failures 0)

function(check name args input expected_out expected_err expected_rc)
  file(WRITE "${WORK}/${name}.in" "${input}")
  execute_process(COMMAND "${TOOL}" ${args}
                  INPUT_FILE "${WORK}/${name}.in"
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(expected_err STREQUAL "ANY")
    set(err "ANY")
  endif()
  if(NOT out STREQUAL expected_out OR NOT err STREQUAL expected_err OR NOT rc STREQUAL expected_rc)
    message(SEND_ERROR "${name}: got rc=${rc} stdout=[${out}] stderr=[${err}]\n"
                       "  expected rc=${expected_rc} stdout=[${expected_out}] stderr=[${expected_err}]")
  endif()
endfunction()

check(compact "" "{ \"b\": [1, -0, 1e16],\n  \"a\": \"\\u00e9\\t\" }\n"
      "{\"a\":\"é\\t\",\"b\":[1,-0.0,1e+16]}\n" "" 0)
check(error "" "[1,]" "" "trailing comma at line 1 column 4\n" 1)
check(empty "" "" "" "EOF while parsing a value at line 1 column 0\n" 1)
check(lines "--lines" "{\"x\":1.50}\n[1 2]\n\"\\ud800\"\n[]"
      "ok {\"x\":1.5}\nerror expected `,` or `]` at line 1 column 4\nerror unexpected end of hex escape at line 1 column 8\nok []\n"
      "" 1)
check(lines_ok "--lines" "1\ntrue\n" "ok 1\nok true\n" "" 0)
check(bad_argument "--bogus" "" "" "ANY" 2)

execute_process(COMMAND "${TOOL}" --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc STREQUAL "0" OR NOT help MATCHES "^usage: kevro-json \\[--lines\\]")
  message(SEND_ERROR "--help: rc=${rc} output=[${help}]")
endif()
