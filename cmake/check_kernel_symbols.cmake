# Fails the build when an object of a non-baseline kernel copy defines a
# global symbol outside its own namespaces: the linker could then pick that
# copy's instructions for baseline code (an inline function of the standard
# library instantiated in both, say). Run with -DNM=<nm> -DOBJECTS=<list>
# -DKEEP=<regex of the allowed mangled names>.
foreach(obj IN LISTS OBJECTS)
  execute_process(COMMAND "${NM}" --defined-only --extern-only "${obj}"
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${obj}")
  endif()
  string(REPLACE "\n" ";" lines "${symbols}")
  foreach(line IN LISTS lines)
    if(line STREQUAL "")
      continue()
    endif()
    string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
    # The personality routine's reference is the same in every object.
    if(name MATCHES "${KEEP}" OR name STREQUAL "DW.ref.__gxx_personality_v0")
      continue()
    endif()
    message(FATAL_ERROR "${obj} defines ${name} outside its own namespaces; it could "
                        "replace the baseline copy's definition")
  endforeach()
endforeach()
