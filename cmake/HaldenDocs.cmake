# halden_add_docs(<header>...)
# Adds the target "docs": the API reference of the given headers (the
# installed ones), rendered by Doxygen as HTML under <build>/docs/html. It is
# not part of the default build. Every public member must be documented: an
# undocumented one, or a doc comment Doxygen cannot read, is a warning, and
# a warning fails the target. Without Doxygen (Debian's "doxygen") the
# target only says so and succeeds.
function(halden_add_docs)
  find_package(Doxygen QUIET)
  if(NOT DOXYGEN_FOUND)
    message(STATUS "Doxygen not found: the target docs only tells how to get it")
    add_custom_target(docs
      COMMAND ${CMAKE_COMMAND} -E echo
              "docs: Doxygen was not found; install it (scripts/setup.sh does) and configure again"
      VERBATIM)
    return()
  endif()

  set(DOXYGEN_PROJECT_NAME "HaldenAnalytics")
  set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
  set(DOXYGEN_PROJECT_BRIEF "Analytics client library for Linux: API reference")
  set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
  # Files are named as an application includes them, below
  # include/HaldenAnalytics/: "TLM.h", "platform/Foundation/Environment.h".
  set(DOXYGEN_FULL_PATH_NAMES YES)
  set(DOXYGEN_STRIP_FROM_PATH ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR})
  set(DOXYGEN_STRIP_FROM_INC_PATH ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR})
  # The public interface only, in declaration order.
  set(DOXYGEN_EXTRACT_ALL NO)
  set(DOXYGEN_EXTRACT_PRIVATE NO)
  set(DOXYGEN_EXTRACT_STATIC NO)
  set(DOXYGEN_SORT_MEMBER_DOCS NO)
  set(DOXYGEN_BUILTIN_STL_SUPPORT YES)
  set(DOXYGEN_JAVADOC_AUTOBRIEF YES)
  # The thread-safety attributes say nothing to a reader: they expand to
  # nothing here, as they do for every compiler but clang.
  set(DOXYGEN_ENABLE_PREPROCESSING YES)
  set(DOXYGEN_MACRO_EXPANSION YES)
  set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
  set(DOXYGEN_PREDEFINED "HALDEN_THREAD_ANNOTATION(x)=")
  foreach(annotation CAPABILITY(x) SCOPED_CAPABILITY GUARDED_BY(x) PT_GUARDED_BY(x)
                     REQUIRES(...) EXCLUDES(...) ACQUIRE(...) RELEASE(...) TRY_ACQUIRE(...)
                     ASSERT_CAPABILITY(x) RETURN_CAPABILITY(x) NO_THREAD_SAFETY_ANALYSIS)
    list(APPEND DOXYGEN_PREDEFINED "HALDEN_${annotation}=")
  endforeach()
  # Nothing undocumented goes unnoticed.
  set(DOXYGEN_QUIET YES)
  set(DOXYGEN_WARNINGS YES)
  set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
  set(DOXYGEN_WARN_IF_DOC_ERROR YES)
  set(DOXYGEN_WARN_NO_PARAMDOC NO)
  set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
  set(DOXYGEN_GENERATE_HTML YES)
  set(DOXYGEN_GENERATE_LATEX NO)
  set(DOXYGEN_GENERATE_TREEVIEW YES)

  doxygen_add_docs(docs ${ARGN}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "API reference of the installed headers: ${PROJECT_BINARY_DIR}/docs/html/index.html")
endfunction()
