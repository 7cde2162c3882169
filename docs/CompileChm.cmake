# Compiles the help project into OUTPUT with chmcmd.
#   cmake -DCHMCMD=... -DSOURCE=<help folder> -DSTAGING=<work folder> -DOUTPUT=<.chm> -P CompileChm.cmake
# chmcmd writes beside the project and reports a missing page or link only as
# a warning with exit status 0, and may leave a partial file when it fails:
# compile in a fresh copy, treat any warning as an error, and move the result
# into place only when it is complete.
foreach(var CHMCMD SOURCE STAGING OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CompileChm.cmake needs -D${var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${STAGING})
file(MAKE_DIRECTORY ${STAGING})
file(GLOB sources LIST_DIRECTORIES false ${SOURCE}/*)
file(COPY ${sources} DESTINATION ${STAGING})

execute_process(
  COMMAND ${CHMCMD} pakforge.hhp
  WORKING_DIRECTORY ${STAGING}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR output MATCHES "(Warning|Error|exception)" OR NOT EXISTS ${STAGING}/pakforge.chm)
  message(FATAL_ERROR "chmcmd could not compile ${SOURCE}/pakforge.hhp (exit status ${result}):\n${output}")
endif()

get_filename_component(output_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${output_dir})
file(COPY_FILE ${STAGING}/pakforge.chm ${OUTPUT}.tmp)
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
