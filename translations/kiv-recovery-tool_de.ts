<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>QObject</name>
    <message>
        <source>Choose an action type:
</source>
        <translation>Aktionstyp wählen:
</translation>
    </message>
    <message>
        <source>get boot list</source>
        <translation>Boot-Liste ausgeben</translation>
    </message>
    <message>
        <source>rollback notification</source>
        <translation>Benachrichtigung über die Wiederherstellung</translation>
    </message>
    <message>
        <source>Backup and Restore</source>
        <translation>Sichern und Wiederherstellen</translation>
    </message>
    <message>
        <source>System Recovery</source>
        <translation>Systemwiederherstellung</translation>
    </message>
</context>
<context>
    <name>RollbackNotify</name>
    <message>
        <source>Your system is successfully rolled back to %1.</source>
        <translation>Ihr System wurde erfolgreich auf %1 zurückgesetzt.</translation>
    </message>
    <message>
        <source>Rollback failed. The system is reverted to %1.</source>
        <translation>Das Zurücksetzen ist fehlgeschlagen. Das System wurde auf %1 zurückgeführt.</translation>
    </message>
</context>
</TS>
