# The programs that go onto the board, each joining with one line in its own
# CMakeLists.txt:
#   fw_board_program(TARGET)        a program: sbin, manual page TARGET(8)
#   fw_board_program(TARGET TOOL)   an MTD tool quillet starts: the tools
#                                   folder, page fwintegrity-TARGET(8)
# The tools keep the names of the commands quillet hands the shell, which are
# other packages' names (mtd-utils): nothing of theirs goes onto the search
# path or into the manual's index. Each page is man/TARGET.8.in, with
# @PROJECT_VERSION@ and @FW_TOOLS_INSTALLED@ filled in, compressed as Debian
# ships pages. cmake/packaging.cmake packages the programs listed in the
# global property FW_BOARD_PROGRAMS.
find_program(FW_GZIP gzip)
if(NOT FW_GZIP)
  message(FATAL_ERROR "gzip not found: the manual pages are shipped compressed")
endif()
# The date the manual pages show.
set(FW_RELEASE_DATE 2026-12-07)
set(FW_TOOLS_INSTALLED ${CMAKE_INSTALL_FULL_LIBEXECDIR}/${PROJECT_NAME})
set(FW_MAN_DIR ${CMAKE_BINARY_DIR}/man)

function(fw_board_program target)
  cmake_parse_arguments(P "TOOL" "" "" ${ARGN})
  set(page ${target}.8)
  set(destination ${CMAKE_INSTALL_SBINDIR})
  if(P_TOOL)
    set(page ${PROJECT_NAME}-${target}.8)
    set(destination ${FW_TOOLS_INSTALL_DIR})
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${FW_TOOLS_OUTPUT_DIR})
  endif()
  set_target_properties(${target} PROPERTIES FW_DESTINATION ${destination} FW_PAGE ${page})
  if(FW_STATIC)
    target_link_options(${target} PRIVATE -static)
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${destination})

  fw_manual_page(${target}_manpage ${target}.8.in ${page} 8)
  set_property(GLOBAL APPEND PROPERTY FW_BOARD_PROGRAMS ${target})
endfunction()

# fw_static_copy(PROGRAM TARGET FOLDER): TARGET links PROGRAM's own objects
# statically and stripped, under PROGRAM's name in FOLDER, for a board or a
# VM without the C and C++ libraries.
function(fw_static_copy program target folder)
  get_target_property(libs ${program} LINK_LIBRARIES)
  add_executable(${target} $<TARGET_OBJECTS:${program}>)
  target_link_libraries(${target} PRIVATE ${libs})
  target_link_options(${target} PRIVATE -static -s)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${program} RUNTIME_OUTPUT_DIRECTORY ${folder})
endfunction()

# fw_manual_page(TARGET SOURCE PAGE SECTION): man/SOURCE filled in as PAGE,
# compressed, installed into manSECTION; TARGET builds it.
function(fw_manual_page target source page section)
  configure_file(${PROJECT_SOURCE_DIR}/man/${source} ${FW_MAN_DIR}/${page} @ONLY)
  add_custom_command(OUTPUT ${FW_MAN_DIR}/${page}.gz
    COMMAND ${FW_GZIP} -9nf -k ${page}
    WORKING_DIRECTORY ${FW_MAN_DIR}
    DEPENDS ${FW_MAN_DIR}/${page}
    COMMENT "Compressing ${page}")
  add_custom_target(${target} ALL DEPENDS ${FW_MAN_DIR}/${page}.gz)
  install(FILES ${FW_MAN_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  set_property(GLOBAL APPEND PROPERTY FW_MANUAL_PAGES ${target})
endfunction()
