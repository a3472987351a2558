// The platform seam bound to simulated guests (test DLL and unit tests).
