# Checks orvane-wire's line contract. Run with cmake -P and:
#   -DWIRE=<binary> -DDATA=<dir with KIND.jsonl / KIND.expected> -DWORK=<scratch dir>

function(expect_output kind input_file expected)
  execute_process(COMMAND ${WIRE} ${kind} INPUT_FILE ${input_file}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(SEND_ERROR "orvane-wire ${kind} < ${input_file}: exit ${rc}\n${err}")
  elseif(NOT out STREQUAL expected)
    message(SEND_ERROR "orvane-wire ${kind} < ${input_file}\n--- expected\n${expected}--- got\n${out}")
  endif()
endfunction()

# One output line per input line, compared byte for byte.
foreach(kind control signaling envelope)
  file(READ ${DATA}/${kind}.expected expected)
  expect_output(${kind} ${DATA}/${kind}.jsonl "${expected}")
endforeach()

# A CRLF line counts as the line without its '\r'; a last line without a
# newline still gets its answer.
string(ASCII 13 CR)
file(WRITE ${WORK}/crlf.jsonl "{\"type\":\"mute\"}${CR}\n${CR}\n{\"type\":\"volumeUp\"}")
expect_output(control ${WORK}/crlf.jsonl "ok {\"type\":\"mute\"}\nerror empty message\nok {\"type\":\"volumeUp\"}\n")
file(WRITE ${WORK}/empty.jsonl "")
expect_output(control ${WORK}/empty.jsonl "")

# Usage: --help succeeds, anything else that is not a kind exits 2.
execute_process(COMMAND ${WIRE} --help OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "control" OR NOT out MATCHES "signaling")
  message(SEND_ERROR "--help: exit ${rc}, output: ${out}")
endif()
foreach(args "" "bogus" "control;extra" "Control")
  execute_process(COMMAND ${WIRE} ${args} INPUT_FILE ${WORK}/empty.jsonl
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 2 OR err STREQUAL "" OR NOT out STREQUAL "")
    message(SEND_ERROR "orvane-wire '${args}': expected exit 2 with a message on stderr, got ${rc}: ${err}")
  endif()
endforeach()
