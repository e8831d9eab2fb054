// A tiny module for the module-loading tests: loaded as "ModuleTestLib.dll".
extern "C" int TestAnswer() {
  return 42;
}
