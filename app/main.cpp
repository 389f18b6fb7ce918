// phonedir: the telephone directory of Borvino. It reads base2.DAT,
// street.DAT and banners.DAT from the current directory.

#include "app/application.h"

int main(int argc, char** argv) {
  app::TApplication application(argc, argv);
  return app::TApplication::Run();
}
