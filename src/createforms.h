#pragma once

// Creates the six windows in their fixed order; the login window, first, becomes the main window.
void CreateApplicationForms();
