# The extension exists only for the free-threaded interpreter, whose ABI tag
# carries a "t" (cpython-314t-x86_64-linux-gnu). A regular build is refused
# while configuring, in one sentence, before anything is compiled.
#
# Also a script, for checking the refusal without a regular 3.14 at hand:
#   cmake -DSOABI=cpython-314-x86_64-linux-gnu -DEXECUTABLE=python3.14 -P cmake/free_threaded.cmake

function(torvan_require_free_threaded soabi executable)
  if(NOT soabi MATCHES "^cpython-[0-9]+t(-|$)")
    message(FATAL_ERROR
      "torvan needs the free-threaded build of CPython 3.14 (python3.14t), but ${executable} "
      "is a regular build with the global interpreter lock (ABI tag '${soabi}').")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  torvan_require_free_threaded("${SOABI}" "${EXECUTABLE}")
endif()
