# quippet_add_test(test_assistant ...) goes here.
