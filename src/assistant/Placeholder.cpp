namespace quippet { void assistantLibraryAnchor() {} }
