# Copies the classes of a library jar into the tool's jar (cmake -P):
#   -DJAR=<the tool's jar> -DLIBRARY=<library jar> -DPACKAGE=<top folder to copy>
#   -DJAR_TOOL=<the JDK's jar program> -DWORK=<scratch folder>
# A stamp beside the jar keeps an unchanged jar from being updated again.
set(stamp "${JAR}.bundled")
if(EXISTS "${stamp}" AND "${stamp}" IS_NEWER_THAN "${JAR}")
  return()
endif()
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND "${JAR_TOOL}" xf "${LIBRARY}" "${PACKAGE}" WORKING_DIRECTORY "${WORK}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT IS_DIRECTORY "${WORK}/${PACKAGE}")
  message(FATAL_ERROR "cannot unpack ${PACKAGE} from ${LIBRARY}")
endif()
execute_process(COMMAND "${JAR_TOOL}" uf "${JAR}" -C "${WORK}" "${PACKAGE}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot add ${PACKAGE} to ${JAR}")
endif()
file(TOUCH "${stamp}")
