# Prompter engine: prompt texts, context documents, assistant, screen grab.
quippet_add_test(test_engine
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/PromptsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ContextDocumentsTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AssistantTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ScreenGrabTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EngineEndToEndTest.cpp
  LIBS quippet_assistant)
