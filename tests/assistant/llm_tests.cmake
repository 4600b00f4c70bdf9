# quippet_add_test(test_llm ...) goes here.
