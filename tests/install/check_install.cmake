# Installs the build tree into a scratch prefix, builds the consumer project
# against it and runs it. -DBUILD=<build tree> -DSOURCE=<consumer project>
# -DWORK=<scratch directory>
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/consumer -DCMAKE_PREFIX_PATH=${WORK}/prefix
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring the consumer failed:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/consumer RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the consumer failed:\n${out}")
endif()
execute_process(COMMAND ${WORK}/consumer/consumer RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "consumer ok")
  message(FATAL_ERROR "the consumer failed (${rc}): ${out}")
endif()
# pkg-config finds the TLS library and, through it, the core.
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${WORK}/prefix/lib/pkgconfig)
  execute_process(COMMAND ${PKG_CONFIG} --libs evcomp-ssl RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "-levcomp-ssl" OR NOT out MATCHES "-levcomp ")
    message(FATAL_ERROR "pkg-config --libs evcomp-ssl gave (${rc}): ${out}")
  endif()
endif()
file(REMOVE_RECURSE ${WORK})
