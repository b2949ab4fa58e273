# The build-options grammar and scanner tables, generated at build time (included from
# mf/CMakeLists.txt).
set(opts_generated ${CMAKE_BINARY_DIR}/generated/mf)
bison_target(opts_parser ${CMAKE_CURRENT_SOURCE_DIR}/opts_parser.y ${opts_generated}/opts_parser_gram.cc
  DEFINES_FILE ${opts_generated}/opts_parser_gram.h COMPILE_FLAGS "-Wall -Werror")
target_sources(vosselbuild_objects PRIVATE ${BISON_opts_parser_OUTPUTS})

set(opts_gen ${opts_generated}/opts_lex_gen.c)
set(opts_nul ${opts_generated}/opts_lex_nul.h)
add_custom_command(OUTPUT ${opts_gen} ${opts_nul}
  COMMAND ${FLEX_EXECUTABLE} -o ${opts_gen} ${CMAKE_CURRENT_SOURCE_DIR}/opts_lex.l
  COMMAND ${CMAKE_COMMAND} -DSCANNER=${opts_gen} -DHEADER=${opts_nul} -DNAME=OPTS_LEX_NUL_CLASS
    -P ${mf_scan_nul_class}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/opts_lex.l ${mf_scan_nul_class}
  COMMENT "Generating the tables of opts_lex")
set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/opts_lex_tables.cc APPEND PROPERTY
  OBJECT_DEPENDS ${opts_gen} ${opts_nul})
add_custom_target(opts_generated_sources DEPENDS ${BISON_opts_parser_OUTPUTS} ${opts_gen} ${opts_nul})
add_dependencies(vosselbuild_objects opts_generated_sources)
