/* A module with one function and one data variable. */
int zc_fake_variable = 42;
int zc_fake_function(void) { return 7; }
