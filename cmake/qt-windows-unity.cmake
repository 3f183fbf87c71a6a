# Included into Qt's own configure (CMAKE_PROJECT_INCLUDE) by
# tools/build-windows-qt.sh. Qt 6.4's Core, Gui and Widgets, the Windows
# platform plugin and the bundled HarfBuzz are compiled as unity builds,
# sixteen sources to a file: most of each file's compile time is
# spent parsing the same headers (the Windows API's and Qt's), so this cuts
# their compile time to about a third. Qt 6.4 was not written for it: the
# sources below collide with their neighbours (file-local names defined
# twice, macros undefined or redefined, the removed-API files that must see
# the headers first) and are compiled alone, as usual.
include_guard(GLOBAL)

set(tarnwick_compiled_alone
  Core src/corelib/compat/removed_api.cpp
  Core src/corelib/global/qlogging.cpp
  Core src/corelib/global/qrandom.cpp
  Core src/corelib/io/qbuffer.cpp
  Core src/corelib/io/qurlquery.cpp
  Core src/corelib/io/qurlrecode.cpp
  Core src/corelib/kernel/qmetaobjectbuilder.cpp
  Core src/corelib/serialization/qcborstreamwriter.cpp
  Core src/corelib/text/qstring.cpp
  Core src/corelib/text/qunicodetools.cpp
  Core src/corelib/time/qhijricalendar.cpp
  Core src/corelib/time/qjalalicalendar.cpp
  Gui src/gui/image/qpixmapcache.cpp
  Gui src/gui/kernel/qplatformintegrationfactory.cpp
  Gui src/gui/kernel/qplatformthemefactory.cpp
  Gui src/gui/kernel/qwindowsysteminterface.cpp
  Gui src/gui/text/windows/qwindowsfontengine.cpp
  Gui src/gui/util/qpkmhandler.cpp
  Widgets src/widgets/accessible/qaccessiblewidgets.cpp
  Widgets src/widgets/compat/removed_api.cpp
  Widgets src/widgets/dialogs/qfiledialog.cpp
  QWindowsIntegrationPlugin src/plugins/platforms/windows/qwindowsmenu.cpp
  QWindowsIntegrationPlugin src/plugins/platforms/windows/qwindowspointerhandler.cpp
)

function(tarnwick_unity_build)
  # HarfBuzz is written to be compiled as one file (its own harfbuzz.cc).
  foreach(target Core Gui Widgets QWindowsIntegrationPlugin BundledHarfbuzz)
    set_property(TARGET ${target} PROPERTY UNITY_BUILD ON)
    set_property(TARGET ${target} PROPERTY UNITY_BUILD_BATCH_SIZE 16)
    get_target_property(directory ${target} SOURCE_DIR)
    set(alone)
    set(list ${tarnwick_compiled_alone})
    while(list)
      list(POP_FRONT list owner source)
      if(owner STREQUAL target)
        list(APPEND alone "${CMAKE_SOURCE_DIR}/${source}")
      endif()
    endwhile()
    set_source_files_properties(${alone} DIRECTORY "${directory}" PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
  endforeach()
endfunction()
# The targets exist only once Qt's whole tree has been read.
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL tarnwick_unity_build)
