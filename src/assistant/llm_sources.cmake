# Streaming language-model client: list (append) its sources here.
list(APPEND QUIPPET_LLM_SOURCES)
