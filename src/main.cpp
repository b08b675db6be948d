#include "createforms.h"
#include "shell/startup.h"

int main(int argc, char** argv) {
  return RunApplication(argc, argv, CreateApplicationForms);
}
