@rem A recording impostor batch file, laid by the scenario runner (plant = yes) as
@rem shutdown.bat and shutdown.cmd beside the tool and in its working directory.
@rem Run at all, it was taken instead of the system's shutdown: one "impostor" line
@rem with its name, path and arguments in the run log fails the scenario.
@>>C:\qmsim\runs.log echo impostor %~nx0 path=%~f0 args=%*
@exit /b 0
