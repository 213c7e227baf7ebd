# One static library per source folder, named bm_<folder>, built from the
# folder's own .cpp files (main.cpp excluded: it belongs to the executable).
# Each library links only the folder libraries given in LEFT.
#
# Third-party libraries are attached per folder here so that a folder only
# sees what its layer is allowed to use (OpenSSL lives in net/ and the MD5
# helper of core/, SQLite in store/, widgets in ui/).
function(brixmoor_folder_library folder left)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  list(FILTER _sources EXCLUDE REGEX "/main\\.cpp$")
  if(NOT _sources)
    # Keep the chain unbroken for folders not written yet.
    add_library(bm_${folder} INTERFACE)
    foreach(l IN LISTS left)
      target_link_libraries(bm_${folder} INTERFACE bm_${l})
    endforeach()
    target_link_libraries(bm_${folder} INTERFACE brixmoor_policy)
    return()
  endif()
  add_library(bm_${folder} STATIC ${_sources})
  set_target_properties(bm_${folder} PROPERTIES AUTOMOC ON)
  target_link_libraries(bm_${folder} PUBLIC brixmoor_policy Qt6::Core Threads::Threads)
  foreach(l IN LISTS left)
    target_link_libraries(bm_${folder} PUBLIC bm_${l})
  endforeach()
  if(folder STREQUAL "core")
    target_link_libraries(bm_core PUBLIC PkgConfig::GMIME OpenSSL::Crypto)
    target_compile_definitions(bm_core PRIVATE
      BRIXMOOR_PRODUCT_NAME="${BRIXMOOR_PRODUCT_NAME}"
      BRIXMOOR_PRODUCT_VERSION="${BRIXMOOR_PRODUCT_VERSION}"
      BRIXMOOR_FILE_VERSION="${BRIXMOOR_FILE_VERSION}")
  elseif(folder STREQUAL "net")
    target_link_libraries(bm_net PUBLIC OpenSSL::SSL OpenSSL::Crypto)
  elseif(folder STREQUAL "config")
    target_link_libraries(bm_config PUBLIC PkgConfig::PCRE2)
  elseif(folder STREQUAL "store")
    target_link_libraries(bm_store PUBLIC PkgConfig::SQLITE3)
  elseif(folder STREQUAL "ui")
    target_link_libraries(bm_ui PUBLIC Qt6::Widgets PkgConfig::TIDY)
  endif()
endfunction()
