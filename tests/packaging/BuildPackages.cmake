# cmake -DCPACK=<cpack> -DBUILD=<build folder> -DOUT=<folder> -P BuildPackages.cmake: the Debian packages
# of the build, made afresh in OUT.
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${CPACK} -G DEB -B ${OUT} --config ${BUILD}/CPackConfig.cmake
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc}):\n${out}")
endif()
