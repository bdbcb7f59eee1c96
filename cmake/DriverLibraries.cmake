# The engines' own libraries that the data module links must be the very
# ones Qt's driver plugins load: the agent hands the plugin's connection
# handle (sqlite3*, PGconn*) to its own calls, and two copies of a library in
# one process would each keep their own state behind the same pointer.
#
# kelvor_check_driver_library(<plugin target> <library file we link>)
# fails the configuration when the plugin is missing, needs another soname,
# or resolves it to another file than `library`.
function(kelvor_check_driver_library plugin library)
  if(NOT TARGET ${plugin})
    message(FATAL_ERROR "Qt's driver plugin ${plugin} was not found (install its package; "
                        "see scripts/install-deps)")
  endif()
  get_target_property(file ${plugin} IMPORTED_LOCATION_NONE)
  if(NOT file)
    get_target_property(file ${plugin} LOCATION)
  endif()
  if(NOT file OR NOT EXISTS "${file}")
    message(FATAL_ERROR "Qt's driver plugin ${plugin} has no file (${file})")
  endif()
  find_program(KELVOR_READELF readelf REQUIRED)
  find_program(KELVOR_LDD ldd REQUIRED)
  execute_process(COMMAND ${KELVOR_READELF} -d "${library}" OUTPUT_VARIABLE ours
                  RESULT_VARIABLE rc)
  string(REGEX MATCH "\\(SONAME\\)[^[]*\\[([^]]+)\\]" _ "${ours}")
  set(soname "${CMAKE_MATCH_1}")
  if(rc OR NOT soname)
    message(FATAL_ERROR "${library} has no soname (readelf -d)")
  endif()
  execute_process(COMMAND ${KELVOR_READELF} -d "${file}" OUTPUT_VARIABLE needed)
  string(FIND "${needed}" "[${soname}]" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${file} does not load ${soname}, the library linked here "
                        "(${library}): it was built against another one")
  endif()
  execute_process(COMMAND ${KELVOR_LDD} "${file}" OUTPUT_VARIABLE resolved RESULT_VARIABLE rc)
  string(REGEX MATCH "${soname} => ([^ \t\n]+)" _ "${resolved}")
  set(theirs "${CMAKE_MATCH_1}")
  file(REAL_PATH "${library}" ours_real)
  if(rc OR NOT theirs)
    message(FATAL_ERROR "ldd could not resolve ${soname} for ${file}")
  endif()
  file(REAL_PATH "${theirs}" theirs_real)
  if(NOT ours_real STREQUAL theirs_real)
    message(FATAL_ERROR "${file} loads ${theirs_real}, but ${library} (${ours_real}) is linked "
                        "here: both must be the same library")
  endif()
  message(STATUS "${plugin} loads ${soname} = ${ours_real}, as linked here")
endfunction()
