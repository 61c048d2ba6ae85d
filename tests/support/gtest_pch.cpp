// The library that holds the precompiled GoogleTest header the test files share.
