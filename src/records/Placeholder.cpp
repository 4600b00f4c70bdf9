namespace quippet { void recordsLibraryAnchor() {} }
