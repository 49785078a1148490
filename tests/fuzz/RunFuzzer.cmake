# Runs one fuzz target for a bounded time:
#   cmake -DFUZZER=<program> -DSEEDS=<seed dir> -DWORK=<scratch dir> -DSECONDS=<n> -P RunFuzzer.cmake
# The seeds are copied into WORK/corpus, which the fuzzer grows; crashing
# inputs are written to WORK/ and the library's files go to WORK/tmp. WORK is
# emptied first, so every run starts from the seeds alone.
foreach(var FUZZER SEEDS WORK SECONDS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "RunFuzzer.cmake: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/tmp)
file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)

set(ENV{TMPDIR} ${WORK}/tmp)
# -close_fd_mask=2: the bridge logs every bad message on standard error;
# the fuzzer and the sanitizers still report on a copy of it.
# -detect_leaks=0: the target's threads allocate across inputs, so the
# per-input leak check would run a full scan after nearly every input (six
# times slower); LeakSanitizer's check at exit still covers the whole run and
# fails it.
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048
          -max_len=4096 -detect_leaks=0 -print_final_stats=1 -close_fd_mask=2
          -artifact_prefix=${WORK}/ ${WORK}/corpus
  WORKING_DIRECTORY ${WORK}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${status}); inputs that fail are in ${WORK}")
endif()
