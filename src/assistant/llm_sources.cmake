# Streaming language-model client: list (append) its sources here.
list(APPEND QUIPPET_LLM_SOURCES GeminiClient.cpp GeminiClient.h RateGate.cpp RateGate.h)
