// A tiny module for the module-loading tests: loaded as "ModuleTestLib.dll".
extern "C" int TestAnswer() {
  return 42;
}

// String resources for the LoadStringA tests: 1 plain, 2 with a double-byte GBK character
// ("a中b"), 3 empty; every other id is absent.
extern "C" const char* TalvekStringResource(unsigned id) {
  switch (id) {
    case 1:
      return "Hello";
    case 2:
      return "a\xD6\xD0"
             "b";
    case 3:
      return "";
    default:
      return nullptr;
  }
}
