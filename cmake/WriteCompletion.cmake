# Writes the completion script that `caskel completion SHELL` prints to OUTPUT:
#   cmake -DCASKEL=<caskel> -DSHELL_NAME=bash -DOUTPUT=<file> -P WriteCompletion.cmake
execute_process(COMMAND ${CASKEL} completion ${SHELL_NAME}
  OUTPUT_FILE ${OUTPUT}.tmp RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "caskel completion ${SHELL_NAME} failed: ${status}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
