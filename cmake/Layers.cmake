# The layers, each a target of its own that sees only its own folders and those of the
# layers below it, so that an include against the direction of the layers fails to compile:
#
#   tools, examples    the exported headers (include/) and the platform headers they bring
#   library            provider/ connection/ command/ statement/ schema/, include/, platform/
#   engine             engine/, platform/
#   platform           platform/
#
# Sources include each other from the repository root ("engine/sql/types.h"), so the root
# cannot be on a layer's include path: it would show every folder. Instead each layer gets a
# folder of its own in the build tree holding links to the source folders it may see
# (build/layers/<layer>-layer/engine -> <source>/engine), and that folder is its include
# path. The suffix keeps a layer's name out of the paths that .clang-tidy filters on.
# A quoted include is also looked for beside the including file, which never finds another
# layer's folder; "../" in an include would, and scripts/check-style.sh refuses it.

set(ORV_LAYER_ROOT ${CMAKE_BINARY_DIR}/layers)

# orv_layer_includes(<layer> <folder>...): the include folder of <layer>, with a link to each
# source folder named. Sets ORV_<LAYER>_INCLUDE to its path.
function(orv_layer_includes layer)
  set(dir ${ORV_LAYER_ROOT}/${layer}-layer)
  file(MAKE_DIRECTORY ${dir})
  foreach(folder IN LISTS ARGN)
    if(NOT IS_SYMLINK ${dir}/${folder})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
    endif()
  endforeach()
  string(TOUPPER ${layer} upper)
  set(ORV_${upper}_INCLUDE ${dir} PARENT_SCOPE)
endfunction()

# The library's own folders, the one layer that spans several.
set(ORV_LIBRARY_FOLDERS provider connection command statement schema)

orv_layer_includes(platform platform)
orv_layer_includes(engine platform engine)
orv_layer_includes(library platform ${ORV_LIBRARY_FOLDERS})
# What a host sees: the exported headers and the platform headers, as installed.
orv_layer_includes(public platform)

# orv_layer(<target> FOLDERS <folder>... INCLUDES <dir>...): an object library of every
# .cpp under the folders, compiled as part of the shared library, seeing only INCLUDES.
function(orv_layer target)
  cmake_parse_arguments(arg "" "" "FOLDERS;INCLUDES" ${ARGN})
  set(sources)
  foreach(folder IN LISTS arg_FOLDERS)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  add_library(${target} OBJECT ${sources})
  target_include_directories(${target} PRIVATE ${arg_INCLUDES})
  target_compile_options(${target} PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC marks inline variables of the standard library as unique symbols, which keeps a
    # shared library from ever being unloaded; without them dlclose unloads it and the
    # library's shutdown closes the idle connections at that moment.
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
endfunction()

orv_layer(orv_platform FOLDERS platform INCLUDES ${ORV_PLATFORM_INCLUDE})
orv_layer(orv_engine FOLDERS engine INCLUDES ${ORV_ENGINE_INCLUDE})
orv_layer(orv_library FOLDERS ${ORV_LIBRARY_FOLDERS}
  INCLUDES ${ORV_LIBRARY_INCLUDE} ${CMAKE_SOURCE_DIR}/include)

# The engine alone uses the file formats' libraries (their headers only, at compile time).
target_link_libraries(orv_engine PRIVATE SQLite::SQLite3 PkgConfig::LIBZIP EXPAT::EXPAT PkgConfig::LIBMDB)
# Only the server provider sees libpq's headers.
file(GLOB ORV_PG_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/engine/pg/*.cpp)
set_source_files_properties(${ORV_PG_SOURCES} PROPERTIES INCLUDE_DIRECTORIES "${LIBPQ_INCLUDE_DIRS}")

set(ORV_LAYER_OBJECTS
  $<TARGET_OBJECTS:orv_platform> $<TARGET_OBJECTS:orv_engine> $<TARGET_OBJECTS:orv_library>)
set(ORV_LAYER_LIBRARIES SQLite::SQLite3 PkgConfig::LIBZIP EXPAT::EXPAT PkgConfig::LIBPQ PkgConfig::LIBMDB
  Threads::Threads ${CMAKE_DL_LIBS})

# Every layer's objects for the programs that reach internals (tests, fuzz targets, the
# workbook benchmark): they link the objects directly, so the engine's class registrations
# are linked in, and they see the whole tree from its root.
add_library(orvoledb_objects INTERFACE)
target_sources(orvoledb_objects INTERFACE ${ORV_LAYER_OBJECTS})
target_include_directories(orvoledb_objects INTERFACE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(orvoledb_objects INTERFACE ${ORV_LAYER_LIBRARIES})

# orv_layer_probe(<name> <source> <layer include dirs> [FAILS_ON <header>]): a test that
# compiles <source> with exactly those include folders. With FAILS_ON it passes only when
# the compiler stops because it cannot find <header>; without, when it compiles.
function(orv_layer_probe name source)
  cmake_parse_arguments(arg "" "FAILS_ON;COMPILER" "INCLUDES" ${ARGN})
  if(NOT arg_COMPILER)
    set(arg_COMPILER ${CMAKE_CXX_COMPILER})
  endif()
  set(flags)
  foreach(dir IN LISTS arg_INCLUDES)
    list(APPEND flags -I${dir})
  endforeach()
  add_test(NAME ${name}
    COMMAND ${arg_COMPILER} -std=c++20 -fsyntax-only -Wall -Werror ${flags}
            ${CMAKE_SOURCE_DIR}/cmake/probes/${source})
  if(arg_FAILS_ON)
    string(REPLACE "." "\\." header ${arg_FAILS_ON})
    # GCC: "engine/common/env.h: No such file or directory"; clang: "'engine/common/env.h' file not found".
    set_tests_properties(${name} PROPERTIES
      PASS_REGULAR_EXPRESSION "${header}: No such file|${header}' file not found")
  endif()
endfunction()

# The checks that the layer rule holds: each layer compiles what it may include and fails
# on what it may not, with the very include folders its target uses.
function(orv_layer_checks)
  set(library ${ORV_LIBRARY_INCLUDE} ${CMAKE_SOURCE_DIR}/include)
  set(host ${ORV_PUBLIC_INCLUDE} ${CMAKE_SOURCE_DIR}/include)
  orv_layer_probe(LayerPlatformSeesItself platform_ok.cpp INCLUDES ${ORV_PLATFORM_INCLUDE})
  orv_layer_probe(LayerPlatformRefusesEngine platform_includes_engine.cpp
    INCLUDES ${ORV_PLATFORM_INCLUDE} FAILS_ON engine/common/env.h)
  orv_layer_probe(LayerEngineSeesPlatform engine_ok.cpp INCLUDES ${ORV_ENGINE_INCLUDE})
  orv_layer_probe(LayerEngineRefusesLibrary engine_includes_library.cpp
    INCLUDES ${ORV_ENGINE_INCLUDE} FAILS_ON command/command_state.h)
  orv_layer_probe(LayerLibrarySeesPlatform library_ok.cpp INCLUDES ${library})
  orv_layer_probe(LayerLibraryRefusesEngine library_includes_engine.cpp
    INCLUDES ${library} FAILS_ON engine/common/env.h)
  orv_layer_probe(LayerHostSeesExportedHeaders host_ok.cpp INCLUDES ${host})
  orv_layer_probe(LayerHostRefusesLibrary host_includes_library.cpp
    INCLUDES ${host} FAILS_ON command/command_state.h)
  # The exported headers keep their thread-safety annotations to themselves, for both
  # compilers a host may use.
  find_program(ORV_CLANGXX NAMES clang++)
  if(ORV_CLANGXX)
    orv_layer_probe(LayerHostSeesExportedHeadersClang host_ok.cpp INCLUDES ${host} COMPILER ${ORV_CLANGXX})
  endif()
endfunction()
