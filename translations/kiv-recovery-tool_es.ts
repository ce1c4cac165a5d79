<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>QObject</name>
    <message>
        <source>Choose an action type:
</source>
        <translation>Elija un tipo de acción:
</translation>
    </message>
    <message>
        <source>get boot list</source>
        <translation>mostrar la lista de arranque</translation>
    </message>
    <message>
        <source>rollback notification</source>
        <translation>notificación de reversión</translation>
    </message>
    <message>
        <source>Backup and Restore</source>
        <translation>Copia de seguridad y restauración</translation>
    </message>
    <message>
        <source>System Recovery</source>
        <translation>Recuperación del sistema</translation>
    </message>
</context>
<context>
    <name>RollbackNotify</name>
    <message>
        <source>Your system is successfully rolled back to %1.</source>
        <translation>Su sistema se ha revertido correctamente a la versión %1.</translation>
    </message>
    <message>
        <source>Rollback failed. The system is reverted to %1.</source>
        <translation>La reversión ha fallado. El sistema se mantiene en la versión %1.</translation>
    </message>
</context>
</TS>
