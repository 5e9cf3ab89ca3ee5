# Runs while CPack builds the package: adds the Debian packages of the QML modules the views
# import to the package's dependencies. The linker does not see these modules (the QML engine
# loads them by name at run time), so dpkg-shlibdeps cannot find them; scanning the views'
# imports keeps the list right when a view starts importing another module.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

execute_process(
  COMMAND ${CPACK_MORLO_QMLIMPORTSCANNER} -rootPath ${CPACK_MORLO_QML_SOURCES}
          -importPath ${CPACK_MORLO_QML_IMPORT_PATH}
  OUTPUT_VARIABLE imports ERROR_VARIABLE scan_errors RESULT_VARIABLE scan_result)
if(NOT scan_result EQUAL 0)
  message(FATAL_ERROR "Cannot list the QML imports of the views: ${scan_errors}")
endif()

# Modules found on the import path have a folder with a qmldir; the app's own module does not
# (it is compiled into the binary).
set(qmldirs)
string(JSON count LENGTH "${imports}")
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  string(JSON path ERROR_VARIABLE no_path GET "${imports}" ${i} path)
  if(NOT no_path AND EXISTS "${path}/qmldir")
    list(APPEND qmldirs "${path}/qmldir")
  endif()
endforeach()
list(REMOVE_DUPLICATES qmldirs)

execute_process(COMMAND dpkg-query --search ${qmldirs}
                OUTPUT_VARIABLE owners RESULT_VARIABLE owner_result)
if(NOT owner_result EQUAL 0)
  message(FATAL_ERROR "Some QML modules the views import belong to no Debian package:\n${owners}")
endif()
# Lines read "package[:arch]: /path/qmldir".
string(REPLACE "\n" ";" owner_lines "${owners}")
set(qml_packages)
foreach(line IN LISTS owner_lines)
  if(line MATCHES "^([^:]+)(:[^:]+)?: ")
    list(APPEND qml_packages ${CMAKE_MATCH_1})
  endif()
endforeach()
list(REMOVE_DUPLICATES qml_packages)
list(SORT qml_packages)
list(JOIN qml_packages ", " qml_depends)
string(PREPEND CPACK_DEBIAN_PACKAGE_DEPENDS "${qml_depends}, ")
message(STATUS "QML modules come from: ${qml_depends}")
