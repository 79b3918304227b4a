# The module's tables as the host's loader sees them: exactly the entry points, under their plain
# names, and imports from Windows' own DLLs only (the C++ runtime must be linked in).
# Run with -DOBJDUMP=<objdump> -DMODULE=<TRELVO-40.dll>.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${MODULE}")
endif()

set(expected SetProName InitControl PostInitControl Update Notify Config StopPlug SetDoButton
    SetGetMenuRange SetSetDRO SetGetDRO SetGetLED SetSetLED SetCode DoDwell Reset JogOn JogOff
    Purge Probe Home)

# The named exports follow "[Ordinal/Name Pointer] Table", one "\t[   3] Config" row each.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at LESS 0)
  message(FATAL_ERROR "no export name table found in ${MODULE}")
endif()
string(SUBSTRING "${dump}" ${at} -1 names_part)
string(REGEX MATCH "Table\n(\t\\[ *[0-9]+\\] [^\n]+\n)+" names_part "${names_part}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${names_part}")
set(exported)
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
  list(APPEND exported ${name})
endforeach()
list(SORT exported)
set(sorted_expected ${expected})
list(SORT sorted_expected)
if(NOT exported STREQUAL sorted_expected)
  message(FATAL_ERROR "exports differ\n  expected: ${sorted_expected}\n  found:    ${exported}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(allowed KERNEL32 USER32 GDI32 ADVAPI32 OLE32 OLEAUT32 MSVCRT WS2_32 WSOCK32 COMCTL32 SHELL32
    SHLWAPI UCRTBASE)
set(bad)
set(names)
foreach(row IN LISTS imports)
  string(REGEX REPLACE "DLL Name: ([^ ]+)\\.[dD][lL][lL]" "\\1" dll "${row}")
  string(TOUPPER "${dll}" dll)
  list(APPEND names ${dll})
  if(NOT dll IN_LIST allowed AND NOT dll MATCHES "^API-MS-WIN-")
    list(APPEND bad ${dll})
  endif()
endforeach()
if(NOT names)
  message(FATAL_ERROR "no import table found in ${MODULE}")
endif()
if(bad)
  message(FATAL_ERROR "imports from non-system DLLs: ${bad} (all: ${names})")
endif()
message(STATUS "exports: ${exported}")
message(STATUS "imports: ${names}")
