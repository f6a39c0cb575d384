#pragma once
// The server with its windows: the toolkit's loop drives the engine's loop through the loop's
// descriptor, so events and timers keep the one order they have headless.

class CQuenlowApp;

// Runs until Exit, the window's close or a quit request of the loop (SIGINT, SIGTERM); then
// shuts the server down. The application must have started.
int RunWindowed(CQuenlowApp& app, int argc, char** argv);
