# Prompter engine: prompt texts, context documents, assistant, screen grab.
quippet_add_test(test_engine
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/PromptsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ContextDocumentsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AssistantTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ScreenGrabTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EngineEndToEndTest.cpp
  LIBS quippet_assistant)

# The real screen grab needs a GUI application (offscreen platform in CI).
quippet_add_test(test_engine_gui GUI
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ScreenGrabScreenTest.cpp
  LIBS quippet_assistant Qt6::Widgets)
find_program(QUIPPET_XVFB_RUN xvfb-run)
if(QUIPPET_XVFB_RUN)
  add_test(NAME ScreenGrabOnX11
           COMMAND ${QUIPPET_XVFB_RUN} -a -s "-screen 0 1440x900x24 -noreset" $<TARGET_FILE:test_engine_gui>)
  set_tests_properties(ScreenGrabOnX11 PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=xcb;LANG=C.UTF-8")
endif()
