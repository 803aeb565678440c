// The compiler's own build stamp, which makes every build of the same
// sources differ: the platform build refuses it (-Werror=date-time).

const char *fixture_stamp = __DATE__ " " __TIME__;
