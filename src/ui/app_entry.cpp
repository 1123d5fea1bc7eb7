// The program's entry: runs the one application object.
#include "ui/dialog_layer.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    ui::Application* app = ui::Application::Current();
    return app ? app->Run(instance) : 1;
}
