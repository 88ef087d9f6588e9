# kelvor_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>] [GUI] [CRM] [PST] [ENV <VAR=value...>])
#
# One Qt Test executable per call, registered with ctest under <name>.
#   GUI  the test shows widgets: runs on the offscreen platform.
#   CRM  the test talks to the local test CRM: requires the TestCrm fixture, which starts one
#        server for the whole ctest run; tests reach it through tests/support/testcrm.h.
#   PST  the test reads the sample Outlook files; KELVOR_TESTDATA points at their folder.
# Every test gets its own empty working folder (log files are written to the current folder)
# and a private configuration folder, so no test sees another's settings or logs.
function(kelvor_add_test name)
    cmake_parse_arguments(T "GUI;CRM;PST" "" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
    set(workdir ${CMAKE_BINARY_DIR}/testwork/${name})
    file(MAKE_DIRECTORY ${workdir})
    add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${workdir})
    set(env
        "XDG_CONFIG_HOME=${workdir}/config"
        "HOME=${workdir}"
        "KELVOR_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
        "KELVOR_BINARY_DIR=${CMAKE_BINARY_DIR}"
        ${T_ENV})
    set(labels ${T_LABELS})
    if(T_GUI)
        list(APPEND env "QT_QPA_PLATFORM=offscreen")
        list(APPEND labels gui)
    endif()
    if(T_CRM)
        list(APPEND env "KELVOR_TESTCRM_STATE=${CMAKE_BINARY_DIR}/testcrm-state")
        set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED TestCrm)
        list(APPEND labels crm)
    endif()
    if(T_PST)
        list(APPEND env "KELVOR_TESTDATA=${KELVOR_TESTDATA}")
        list(APPEND labels pst)
    endif()
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT ${env})
    set_property(TEST ${name} APPEND PROPERTY LABELS ${labels})
    set_property(TEST ${name} PROPERTY TIMEOUT 300)
endfunction()

# The sample Outlook files live beside the checkout, never inside it.
get_filename_component(_kelvor_default_testdata "${PROJECT_SOURCE_DIR}/../shared/testdata/pst" ABSOLUTE)
set(KELVOR_TESTDATA "${_kelvor_default_testdata}" CACHE PATH "Folder of the sample .pst/.ost files")
