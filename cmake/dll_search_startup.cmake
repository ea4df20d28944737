# spr_start_with_system32_dll_search(<target>): the Windows executable <target> starts through
# src/platform/dll_search_startup_win32.cc, which limits the DLL search to System32 before the C
# runtime or any of the program's code runs. Every shipped executable calls it; so do the tests'
# probes of it.
#
# Why an entry point: MSVC's linker can write that limit into the image (/DEPENDENTLOADFLAG), but
# this mingw-w64 linker has no such option, and the flag only covers the imports in the image's
# header, on Windows 10 1607 and later. (A hand-made load configuration directory could carry it,
# but Wine 8 ignores the field, so nothing here could test it, and those imports are KnownDLLs.)
# What a program, or a system DLL on its behalf, loads by name while it runs follows the process's
# default search, which SetDefaultDllDirectories sets; called from the entry point, ahead of the C
# runtime's start-up, it comes before any code of ours. A call at the top of wWinMain would come
# after the C runtime's start-up and the static constructors, and each new executable would have to
# remember it.

if(NOT WIN32)
  return()
endif()

add_library(dll_search_startup OBJECT ${PROJECT_SOURCE_DIR}/src/platform/dll_search_startup_win32.cc)
target_compile_options(dll_search_startup PRIVATE ${spr_warnings})

function(spr_start_with_system32_dll_search target)
  # Each subsystem has its own C runtime start-up: the GUI one calls wWinMain, the console one wmain.
  get_target_property(gui ${target} WIN32_EXECUTABLE)
  if(gui)
    set(entry SystemDllsOnlyWinMainCRTStartup)
  else()
    set(entry SystemDllsOnlyMainCRTStartup)
  endif()
  target_link_libraries(${target} PRIVATE dll_search_startup)
  if(MSVC)
    # Not built here; kept so that the same file configures with MSVC. The start-up as the entry
    # point, and /DEPENDENTLOADFLAG (LOAD_LIBRARY_SEARCH_SYSTEM32) for the imports in the header
    # on the Windows versions that read it.
    target_link_options(${target} PRIVATE /ENTRY:${entry} /DEPENDENTLOADFLAG:0x800)
  else()
    # The start-up as the entry point; it hands over to the C runtime's own.
    target_link_options(${target} PRIVATE -Wl,-e,${entry})
  endif()
endfunction()
