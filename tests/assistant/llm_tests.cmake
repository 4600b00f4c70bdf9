# quippet_add_test(test_llm ...) goes here.
quippet_add_test(test_llm
  SOURCES GeminiClientTest.cpp LlmRateGateTest.cpp
  LIBS quippet_assistant)
