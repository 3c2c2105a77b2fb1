# Host side of the olehost tests (included by olehost/CMakeLists.txt): the export checks, the
# registration of the test servers in the private Wine prefix (one reg import, by a fixture),
# and the test host's groups of cases for both builds.
set(olehost_reg ${CMAKE_CURRENT_BINARY_DIR}/olehost-test-servers.reg)

# The .reg text that registers both test classes and the document's file extension under
# <classes> for the server DLL at <dll> (a Linux path, seen by Wine as drive Z:).
function(olehost_class_entries out classes dll)
  string(REPLACE "/" "\\\\" windll "Z:${dll}")
  set(control "{6F1C2A10-5B3E-4C7D-9A21-0C4E8B7D3A01}")
  set(document "{6F1C2A10-5B3E-4C7D-9A21-0C4E8B7D3A02}")
  set(insideout "{6F1C2A10-5B3E-4C7D-9A21-0C4E8B7D3A03}")
  # The control's misc status as registered: inside-out, activate when visible, set client
  # site first, acts like button, always run, recompose on resize (decimal).
  math(EXPR misc "0x80 + 0x100 + 0x20000 + 0x1000 + 0x800 + 0x1" OUTPUT_FORMAT DECIMAL)
  set(text "")
  string(APPEND text
    "[${classes}\\CLSID\\${control}]\n@=\"Host Test Control\"\n\n"
    "[${classes}\\CLSID\\${control}\\InprocServer32]\n@=\"${windll}\"\n\"ThreadingModel\"=\"Apartment\"\n\n"
    "[${classes}\\CLSID\\${control}\\Control]\n\n"
    "[${classes}\\CLSID\\${control}\\MiscStatus]\n@=\"${misc}\"\n\n"
    "[${classes}\\CLSID\\${document}]\n@=\"Host Test Document\"\n\n"
    "[${classes}\\CLSID\\${document}\\InprocServer32]\n@=\"${windll}\"\n\"ThreadingModel\"=\"Apartment\"\n\n"
    "[${classes}\\CLSID\\${document}\\ProgID]\n@=\"OleHostTest.Document\"\n\n"
    "[${classes}\\OleHostTest.Document\\CLSID]\n@=\"${document}\"\n\n"
    "[${classes}\\.olhtdoc]\n@=\"OleHostTest.Document\"\n\n"
    # Made as a control for its registered inside-out status alone (128), no "Control" key.
    "[${classes}\\CLSID\\${insideout}\\InprocServer32]\n@=\"${windll}\"\n\"ThreadingModel\"=\"Apartment\"\n\n"
    "[${classes}\\CLSID\\${insideout}\\MiscStatus]\n@=\"128\"\n\n")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# 64-bit programs read the classes from the 64-bit view, 32-bit programs from Wow6432Node.
olehost_class_entries(x64_entries "HKEY_LOCAL_MACHINE\\Software\\Classes"
                      ${CMAKE_CURRENT_BINARY_DIR}/x64/olehost_testsrv.dll)
olehost_class_entries(x86_entries "HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node"
                      ${CMAKE_CURRENT_BINARY_DIR}/x86/olehost_testsrv.dll)
file(WRITE ${olehost_reg} "Windows Registry Editor Version 5.00\n\n${x64_entries}${x86_entries}")

suite_add_wine_test(olehost_register_servers ARCH x64 COMMAND reg import ${olehost_reg})
set_tests_properties(olehost_register_servers PROPERTIES FIXTURES_SETUP olehost_servers)

suite_add_export_tests(olehost_exports DLL olehost.dll DEF ${CMAKE_CURRENT_SOURCE_DIR}/olehost.def)
set(olehost_groups ids files verbs bounds ambient metafile dispatch)
foreach(arch x86 x64)
  foreach(group IN LISTS olehost_groups)
    suite_add_wine_test(olehost_${group}_${arch} ARCH ${arch}
                        COMMAND ${CMAKE_CURRENT_BINARY_DIR}/${arch}/olehost_wintest.exe ${group})
    set_property(TEST olehost_${group}_${arch} APPEND PROPERTY FIXTURES_REQUIRED olehost_servers)
    # With Wine's heap checking: a write into a freed object (the host may destroy objects from
    # inside the library's calls) is reported, and the report fails the test.
    set_property(TEST olehost_${group}_${arch} APPEND PROPERTY ENVIRONMENT WINEDEBUG=warn+heap)
    set_property(TEST olehost_${group}_${arch} PROPERTY FAIL_REGULAR_EXPRESSION "(err|warn):heap")
  endforeach()
endforeach()
