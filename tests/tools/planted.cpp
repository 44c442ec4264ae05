// Stands in for a DLL that someone put beside a program under a system DLL's
// name: the export below tells it apart from the system's own.
extern "C" __declspec(dllexport) int PlantedDllMarker() { return 1; }
