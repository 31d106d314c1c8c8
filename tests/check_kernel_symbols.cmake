# SPDX-License-Identifier: MIT
# Fails when the driver library defines or references anything a kernel driver
# cannot have.
execute_process(COMMAND ${NM} -A ${LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
set(forbidden
  "_Znw" "_Zna" "_Zdl" "_Zda"                      # operator new / delete
  " malloc$" " calloc$" " realloc$" " free$"       # the C heap
  "__cxa_throw" "__cxa_allocate_exception" "__cxa_begin_catch" "__gxx_personality"
  "_Unwind_Resume" "__cxa_guard_acquire"           # exceptions, guarded statics
  "_GLOBAL__sub_I"                                 # static constructors
  "St6vector" "St4list" "St3map" "St13unordered" "St5deque" "NSt7__cxx1112basic_string")
string(REPLACE "\n" ";" lines "${symbols}")
set(found "")
foreach(line IN LISTS lines)
  foreach(pattern IN LISTS forbidden)
    if(line MATCHES "${pattern}")
      list(APPEND found "${line}")
    endif()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " text)
  message(FATAL_ERROR "kernel code must not use:\n  ${text}")
endif()
message(STATUS "driver library: no heap, exception, static-constructor or container symbols")
