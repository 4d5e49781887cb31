# Installs ZorvaComp from the build tree into a scratch prefix, then configures, builds and runs
# the outside consumer project against it, and builds the README's example program from the
# README's own code blocks. Neither project sets a language standard: the package must bring it.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DREADME=... -DWORK_DIR=... -DCXX=... -DCXX_FLAGS=...
#         -P this
file(REMOVE_RECURSE ${WORK_DIR})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN}\n${out}")
  endif()
  message("${out}")
endfunction()

function(build_against_package source build)
  run(${CMAKE_COMMAND} -S ${source} -B ${build} -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix
      -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
  run(${CMAKE_COMMAND} --build ${build})
endfunction()

# The first code block in `language` after the README's "## Client library" heading.
function(readme_block language out)
  file(READ ${README} text)
  set(fence "\n```${language}\n")
  string(FIND "${text}" "\n## Client library\n" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "${README} has no \"## Client library\" section")
  endif()
  string(SUBSTRING "${text}" ${start} -1 text)
  string(FIND "${text}" "${fence}" open)
  if(open EQUAL -1)
    message(FATAL_ERROR "the client library section of ${README} has no ${language} block")
  endif()
  string(LENGTH "${fence}" fence_length)
  math(EXPR open "${open} + ${fence_length}")
  string(SUBSTRING "${text}" ${open} -1 text)
  string(FIND "${text}" "\n```" close)
  math(EXPR close "${close} + 1")
  string(SUBSTRING "${text}" 0 ${close} block)
  set(${out} "${block}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix --component ZorvaComp)
build_against_package(${SOURCE_DIR} ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)

readme_block(cmake readme_cmake)
readme_block(cpp readme_main)
file(WRITE ${WORK_DIR}/readme/CMakeLists.txt "${readme_cmake}")
file(WRITE ${WORK_DIR}/readme/main.cpp "${readme_main}")
build_against_package(${WORK_DIR}/readme ${WORK_DIR}/readme-build)
