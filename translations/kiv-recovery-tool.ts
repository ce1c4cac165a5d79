<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>QObject</name>
    <message>
        <source>Choose an action type:
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>get boot list</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>rollback notification</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Backup and Restore</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>System Recovery</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RollbackNotify</name>
    <message>
        <source>Your system is successfully rolled back to %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Rollback failed. The system is reverted to %1.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
