# Context documents, prompt texts, assistant engine, screen grab: list (append) their sources here.
list(APPEND QUIPPET_ENGINE_SOURCES)
