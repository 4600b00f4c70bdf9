# Context documents, prompt texts, assistant engine, screen grab: list (append) their sources here.
list(APPEND QUIPPET_ENGINE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/Prompts.cpp ${CMAKE_CURRENT_LIST_DIR}/Prompts.h
  ${CMAKE_CURRENT_LIST_DIR}/ContextDocuments.cpp ${CMAKE_CURRENT_LIST_DIR}/ContextDocuments.h
  ${CMAKE_CURRENT_LIST_DIR}/ScreenGrab.cpp ${CMAKE_CURRENT_LIST_DIR}/ScreenGrab.h
  ${CMAKE_CURRENT_LIST_DIR}/Assistant.cpp ${CMAKE_CURRENT_LIST_DIR}/Assistant.h
)
