# Makes the seed corpus with sfxpack, then runs the payload fuzzer for RUNS inputs. Leak checks
# are left to the unit tests: a failed opening keeps its blocks by design, and checking each such
# input for leaks would slow the fuzzer sixfold.
# Variables: FUZZER, SFXPACK, WORK, RUNS.
file(REMOVE_RECURSE ${WORK})
set(tree ${WORK}/tree)
file(WRITE ${WORK}/stub "MZ")
file(WRITE ${tree}/bin/setup.exe "#!setup")
file(WRITE ${tree}/bin/setup.ini "-vmargs\n")
file(WRITE ${tree}/readme.txt "")
string(REPEAT "0123456789abcdef" 300 big)
file(WRITE ${tree}/lib/big.jar "${big}")
file(WRITE ${WORK}/one/abc.txt "xyz")

set(corpus ${WORK}/corpus)
file(MAKE_DIRECTORY ${corpus} ${WORK}/artifacts)
set(seeds
  "--dir|${WORK}/one|--autorun|abc.txt|-o|${corpus}/example"
  "--dir|${tree}|--autorun|bin/setup.exe|--args|-x $#launcher#|-o|${corpus}/plain"
  "--dir|${tree}|--autorun|bin/setup.exe|--folders-twice|--require|bin/*|-o|${corpus}/required"
  "--dir|${tree}|--autorun|-jar x.jar|--javax|--require|*.jar|-o|${corpus}/java")
foreach(seed IN LISTS seeds)
  string(REPLACE "|" ";" arguments "${seed}")
  execute_process(COMMAND ${SFXPACK} create --stub ${WORK}/stub ${arguments}
                  RESULT_VARIABLE result OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "sfxpack could not make the seed ${seed}")
  endif()
endforeach()

execute_process(
  COMMAND ${FUZZER} -runs=${RUNS} -seed=1 -max_len=8192 -timeout=10 -rss_limit_mb=2048
          -close_fd_mask=2 -detect_leaks=0 -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/ ${corpus}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
string(REGEX MATCH "Done [0-9]+ runs in [0-9]+ second\\(s\\)" done "${output}")
string(REGEX MATCH "stat::number_of_executed_units: *[0-9]+" units "${output}")
message("${done}; ${units}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the payload fuzzer failed (${result}):\n${output}")
endif()
