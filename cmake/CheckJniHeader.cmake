# Fails the build when the committed JNI header differs from javac -h output.
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${GENERATED} ${COMMITTED}
                RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "${COMMITTED} differs from the header javac -h generates "
                      "(${GENERATED}); copy the generated one over it.")
endif()
file(TOUCH ${STAMP})
