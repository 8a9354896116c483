#include "CloudTypes.h"

namespace KTL::Cloud {

const QMap<int, QString> TypeName = {
    {FileSystem, QStringLiteral("FileSystem")},
    {AmazonS3, QStringLiteral("AmazonS3")},
    {AzureBlob, QStringLiteral("AzureBlob")},
    {OracleCloud, QStringLiteral("OracleCloud")},
    {Rackspace, QStringLiteral("Rackspace")},
    {Openstack, QStringLiteral("Openstack")},
    {GoogleStorage, QStringLiteral("GoogleStorage")},
    {SoftLayer, QStringLiteral("SoftLayer")},
    {HPCloud, QStringLiteral("HPCloud")},
    {HPHelion, QStringLiteral("HPHelion")},
    {S3Compatible, QStringLiteral("S3Compatible")},
    {Scality, QStringLiteral("Scality")},
    {DreamObjects, QStringLiteral("DreamObjects")},
    {Cloudian, QStringLiteral("Cloudian")},
    {ThinkOn, QStringLiteral("ThinkOn")},
    {Aruba, QStringLiteral("Aruba")},
    {Tiscali, QStringLiteral("Tiscali")},
    {Seeweb, QStringLiteral("Seeweb")},
    {CenturyLink, QStringLiteral("CenturyLink")},
    {AmazonS3Chinese, QStringLiteral("AmazonS3Chinese")},
    {Minio, QStringLiteral("Minio")},
    {Dunkel, QStringLiteral("Dunkel")},
    {Connectria, QStringLiteral("Connectria")},
    {HostEurope, QStringLiteral("HostEurope")},
    {GreenQloud, QStringLiteral("GreenQloud")},
    {Constant, QStringLiteral("Constant")},
    {Webzilla, QStringLiteral("Webzilla")},
    {Verizon, QStringLiteral("Verizon")},
    {Wasabi, QStringLiteral("Wasabi")},
    {AlibabaCloud, QStringLiteral("AlibabaCloud")},
    {iDrive, QStringLiteral("iDrive")},
    {ImpossibleCloud, QStringLiteral("Impossible Cloud")},
    {BackBlaze, QStringLiteral("BackBlaze")},
    {Sftp, QStringLiteral("Sftp")},
    {WasabiStage, QStringLiteral("Wasabi Stage")},
    {VRO_CLOUD, QStringLiteral("VRO_CLOUD")},
    {AmazonS3EU, QStringLiteral("AmazonS3EU")},
    {AmazonS3GovCloud, QStringLiteral("AmazonS3GovCloud")},
};

Type typeFromName(const QString& name)
{
    for (auto it = TypeName.cbegin(); it != TypeName.cend(); ++it) {
        if (it.value() == name)
            return Type(it.key());
    }
    return Unknown;
}

}  // namespace KTL::Cloud
