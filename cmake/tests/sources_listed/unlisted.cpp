// Listed only when the test project is told to.
